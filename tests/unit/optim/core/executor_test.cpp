#include "optim/core/executor.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "fault_capture.hpp"

namespace {

using namespace tondra::optim;
using Vec = std::vector<double>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Cost is the first coordinate; the gradient is all ones. Counting happens in the wrapper.
struct LinearProblem {
  OptimResult<double> cost(std::span<const double> x) { return x[0]; }
  OptimResult<Vec> gradient(std::span<const double> x) { return Vec(x.size(), 1.0); }
};

// Fails every evaluation after the first `good` ones.
struct FailingProblem {
  int good = 0;
  OptimResult<double> cost(std::span<const double> x) {
    if (good-- > 0) return x[0];
    return OptimError::condition_violated("no more");
  }
};

// Step k (k = 0 for init) moves to the point {k} and takes its cost from `costs` (the last entry
// repeats), evaluating the problem once per step so that the counters move.
struct ScriptedSolver {
  Vec costs;
  std::uint64_t converge_on_call = 0;  // next_iter call that sets Converged; 0: never
  bool converged_from_start = false;   // termination_test fires at once
  std::uint64_t calls = 0;             // next_iter calls seen

  double cost_at(std::uint64_t k) const { return costs[k < costs.size() ? k : costs.size() - 1]; }

  template <class P>
  OptimResult<SolverStep> init(Problem<P>& problem, IterState& state) {
    if (auto c = problem.cost(Vec{0.0}); !c) return c.error();
    state.with_param(Vec{0.0}).with_cost(cost_at(0));
    return SolverStep{std::nullopt};
  }

  template <class P>
  OptimResult<SolverStep> next_iter(Problem<P>& problem, IterState& state) {
    ++calls;
    const Vec x{static_cast<double>(calls)};
    if (auto c = problem.cost(x); !c) return c.error();
    state.with_param(x).with_cost(cost_at(calls));
    if (calls == converge_on_call) state.terminate_with(TerminationReason::Converged);
    return SolverStep{KV().insert("step", static_cast<double>(calls))};
  }

  TerminationStatus termination_test(const IterState&) const {
    if (converged_from_start) return TerminationStatus::terminated(TerminationReason::Converged);
    return {};
  }
};

template <class P>
OptimizationResult<P, ScriptedSolver> run_scripted(P problem, ScriptedSolver solver,
                                                   std::uint64_t max_iterations) {
  Executor exec(std::move(problem), std::move(solver));
  exec.configure([&](IterState s) { return std::move(s).with_max_iterations(max_iterations); });
  return tondra::base::unwrap(std::move(exec).run());
}

TEST(Executor, ZeroIterationsStillRunsInitAndRecordsItsPoint) {
  const auto r = run_scripted(LinearProblem{}, ScriptedSolver{.costs = {5.0}}, 0);
  EXPECT_EQ(r.solver.calls, 0u);
  EXPECT_EQ(r.state.iteration, 0u);
  EXPECT_EQ(r.state.status, TerminationStatus::terminated(TerminationReason::IterationLimit));
  EXPECT_EQ(r.state.best_param, Vec{0.0});
  EXPECT_EQ(r.state.best_cost, 5.0);
  EXPECT_EQ(r.state.prev_best_cost, kInf);
}

TEST(Executor, StopsAfterExactlyMaxIterationsSteps) {
  const auto r =
      run_scripted(LinearProblem{}, ScriptedSolver{.costs = {9.0, 8.0, 7.0, 6.0, 5.0}}, 3);
  EXPECT_EQ(r.solver.calls, 3u);
  EXPECT_EQ(r.state.iteration, 3u);
  EXPECT_EQ(r.state.status, TerminationStatus::terminated(TerminationReason::IterationLimit));
  EXPECT_EQ(r.state.best_param, Vec{3.0});
  EXPECT_EQ(r.state.prev_best_param, Vec{2.0});
  EXPECT_EQ(r.state.best_cost, 6.0);
  EXPECT_EQ(r.state.prev_best_cost, 7.0);
  EXPECT_EQ(r.state.last_best_iteration, 2u);  // counted before the step's increment
  EXPECT_EQ(r.state.prev_param, Vec{2.0});
  EXPECT_EQ(r.state.prev_cost, 7.0);
}

TEST(Executor, StepThatConvergesIsCountedAndConsideredForTheBest) {
  const auto r = run_scripted(LinearProblem{},
                              ScriptedSolver{.costs = {3.0, 2.0, 1.0}, .converge_on_call = 2}, 100);
  EXPECT_EQ(r.solver.calls, 2u);
  EXPECT_EQ(r.state.iteration, 2u);
  EXPECT_EQ(r.state.status, TerminationStatus::terminated(TerminationReason::Converged));
  EXPECT_EQ(r.state.best_param, Vec{2.0});
  EXPECT_EQ(r.state.best_cost, 1.0);
}

TEST(Executor, SolversOwnTestIsAskedBeforeTheIterationLimit) {
  const auto r = run_scripted(LinearProblem{},
                              ScriptedSolver{.costs = {1.0}, .converged_from_start = true}, 0);
  EXPECT_EQ(r.solver.calls, 0u);
  EXPECT_EQ(r.state.status, TerminationStatus::terminated(TerminationReason::Converged));
}

TEST(Executor, BestIsTheEarliestLowestCostIgnoringNaN) {
  const auto equal =
      run_scripted(LinearProblem{}, ScriptedSolver{.costs = {4.0, 2.0, 2.0, 2.0}}, 3);
  EXPECT_EQ(equal.state.best_param, Vec{1.0});
  EXPECT_EQ(equal.state.last_best_iteration, 0u);

  const auto mixed = run_scripted(LinearProblem{}, ScriptedSolver{.costs = {kNaN, 4.0, kNaN}}, 3);
  EXPECT_EQ(mixed.state.best_param, Vec{1.0});
  EXPECT_EQ(mixed.state.best_cost, 4.0);

  const auto all_nan = run_scripted(LinearProblem{}, ScriptedSolver{.costs = {kNaN}}, 3);
  EXPECT_FALSE(all_nan.state.best_param.has_value());
  EXPECT_EQ(all_nan.state.best_cost, kInf);
}

TEST(Executor, InfiniteCostsRecordEveryStepsPoint) {
  const auto r = run_scripted(LinearProblem{}, ScriptedSolver{.costs = {kInf}}, 3);
  EXPECT_EQ(r.state.best_param, Vec{3.0});
  EXPECT_EQ(r.state.prev_best_param, Vec{2.0});
  EXPECT_EQ(r.state.last_best_iteration, 2u);
}

TEST(Executor, DefaultTargetCostIsMetOnlyByMinusInfinity) {
  const auto d = run_scripted(LinearProblem{}, ScriptedSolver{.costs = {1.0, -1e308, -kInf}}, 10);
  EXPECT_EQ(d.solver.calls, 2u);
  EXPECT_EQ(d.state.status, TerminationStatus::terminated(TerminationReason::TargetCostMet));
}

TEST(Executor, CountersAreCopiedIntoTheStateNotAdded) {
  const auto r = run_scripted(LinearProblem{}, ScriptedSolver{.costs = {1.0}}, 4);
  // One evaluation in init and one per step; adding the copies would give 1+2+3+4+5.
  EXPECT_EQ(r.problem.counts().count_or_zero(Evaluation::Cost), 5u);
  EXPECT_EQ(r.state.counts, r.problem.counts());
  EXPECT_FALSE(r.state.counts.contains(Evaluation::Gradient));
}

TEST(Executor, ErrorsFromInitOrStepEndTheRun) {
  Executor failing_init(FailingProblem{.good = 0}, ScriptedSolver{.costs = {1.0}});
  const auto init_result = std::move(failing_init).run();
  ASSERT_FALSE(init_result.has_value());
  EXPECT_EQ(init_result.error(), OptimError::condition_violated("no more"));

  Executor failing_step(FailingProblem{.good = 2}, ScriptedSolver{.costs = {1.0}});
  const auto step_result = std::move(failing_step).run();
  ASSERT_FALSE(step_result.has_value());
  EXPECT_EQ(step_result.error().text, "no more");
}

}  // namespace
