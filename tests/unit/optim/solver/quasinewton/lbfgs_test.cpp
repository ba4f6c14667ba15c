#include "optim/solver/quasinewton/lbfgs.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <variant>
#include <vector>

#include "fits/circle.hpp"
#include "optim/core/executor.hpp"
#include "optim/test_problems.hpp"

namespace {

using tondra::optim::Executor;
using tondra::optim::IterState;
using tondra::optim::LBFGS;
using tondra::optim::MoreThuenteLineSearch;
using tondra::optim::OptimErrorKind;
using tondra::optim::OptimizationResult;
using tondra::optim::OptimResult;
using tondra::optim::Problem;
using tondra::optim::TerminationReason;
using tondra::optim::TerminationStatus;
using tondra::optim::testing::count_of;
using tondra::optim::testing::kNaN;
using tondra::optim::testing::NanAwayFrom;
using tondra::optim::testing::Quadratic;
using tondra::optim::testing::Rosenbrock;

constexpr std::size_t kHistory = 7;  // what the least-squares fit uses

template <class P>
OptimResult<OptimizationResult<P, LBFGS>> minimise(P problem, std::vector<double> x0,
                                                   std::uint64_t max_iterations = 100) {
  Executor exec(std::move(problem), LBFGS(MoreThuenteLineSearch{}, kHistory));
  exec.configure(
      [&](IterState s) { return std::move(s).with_param(x0).with_max_iterations(max_iterations); });
  return std::move(exec).run();
}

TEST(Lbfgs, ConvergesOnQuadratics) {
  // A minimiser found to this accuracy has a gradient below the 2^-26 stopping threshold.
  constexpr double kTolerance = 1e-7;
  const Quadratic bowls[] = {
      {{1.0, 1.0}, {3.0, -4.0}},
      {{1.0, 1000.0}, {1.0, -2.0}},
      {{1.0, 2.0, 5.0, 10.0, 50.0}, {1.0, -1.0, 2.0, 0.5, -3.0}},
  };
  for (const Quadratic& bowl : bowls) {
    auto r = minimise(bowl, std::vector<double>(bowl.centre.size(), 0.0));
    ASSERT_TRUE(r.has_value());
    const IterState& s = r.value().state;
    EXPECT_EQ(s.status.reason(), TerminationReason::Converged);
    for (std::size_t i = 0; i < bowl.centre.size(); ++i) {
      EXPECT_NEAR((*s.best_param)[i], bowl.centre[i], kTolerance) << i;
    }
  }
}

TEST(Lbfgs, ConvergesOnRosenbrockFromTheClassicStart) {
  constexpr double kTolerance = 1e-6;  // the valley floor is flat: the cost is ~1e-12 here
  auto r = minimise(Rosenbrock{}, {-1.2, 1.0});
  ASSERT_TRUE(r.has_value());
  const IterState& s = r.value().state;
  EXPECT_EQ(s.status.reason(), TerminationReason::Converged);
  EXPECT_LT(s.iteration, 100u);
  EXPECT_NEAR((*s.best_param)[0], 1.0, kTolerance);
  EXPECT_NEAR((*s.best_param)[1], 1.0, kTolerance);
}

TEST(Lbfgs, FindsTheCentreOfPointsOnACircle) {
  constexpr double kTolerance = 1e-6;
  std::vector<double> xs, ys;
  for (int i = 0; i < 12; ++i) {
    const double angle = 0.5 * i;
    xs.push_back(2.0 + 3.0 * std::cos(angle));
    ys.push_back(-1.0 + 3.0 * std::sin(angle));
  }
  auto r = minimise(tondra::Circle(xs, ys), {0.0, 0.0});
  ASSERT_TRUE(r.has_value());
  EXPECT_NEAR((*r.value().state.best_param)[0], 2.0, kTolerance);
  EXPECT_NEAR((*r.value().state.best_param)[1], -1.0, kTolerance);
}

TEST(Lbfgs, FirstIterationSearchesAlongTheNegativeGradientWithUnitScaling) {
  Problem<Rosenbrock> problem(Rosenbrock{});
  LBFGS solver(MoreThuenteLineSearch{}, kHistory);
  IterState state = IterState{}.with_param({-1.2, 1.0});
  auto init = solver.init(problem, state);
  ASSERT_TRUE(init.has_value());
  EXPECT_FALSE(init.value().kv.has_value());
  const std::vector<double> g0 = *state.grad;
  auto step = solver.next_iter(problem, state);
  ASSERT_TRUE(step.has_value());
  EXPECT_EQ(solver.line_search().direction(), (std::vector<double>{-g0[0], -g0[1]}));
  ASSERT_TRUE(step.value().kv.has_value());
  EXPECT_EQ(step.value().kv->size(), 1u);
  EXPECT_EQ(std::get<double>(*step.value().kv->get("gamma")), 1.0);
  EXPECT_EQ(solver.step_history().size(), 1u);
}

TEST(Lbfgs, ScalingLiesBetweenTheInverseCurvaturesOfAQuadratic) {
  // On sum w_i x_i^2, y = 2 diag(w) s, so s'y / y'y is a Rayleigh quotient of diag(1 / (2 w)).
  const Quadratic bowl{{10.0, 40.0}, {0.0, 0.0}};
  Problem<Quadratic> problem(bowl);
  LBFGS solver(MoreThuenteLineSearch{}, kHistory);
  IterState state = IterState{}.with_param({1.0, 1.0});
  ASSERT_TRUE(solver.init(problem, state).has_value());
  std::vector<double> gammas;
  for (int i = 0; i < 3 && solver.termination_test(state).is_running(); ++i) {
    auto r = solver.next_iter(problem, state);
    ASSERT_TRUE(r.has_value());
    gammas.push_back(std::get<double>(*r.value().kv->get("gamma")));
    state.iteration += 1;
  }
  ASSERT_GE(gammas.size(), 2u);
  EXPECT_EQ(gammas[0], 1.0);
  for (std::size_t i = 1; i < gammas.size(); ++i) {
    EXPECT_GE(gammas[i], 1.0 / 80.0 * (1.0 - 1e-12)) << i;
    EXPECT_LE(gammas[i], 1.0 / 20.0 * (1.0 + 1e-12)) << i;
  }
}

TEST(Lbfgs, InverseHessianMapsTheNewestGradientChangeToTheNewestStep) {
  // Whatever the older pairs, the inverse-Hessian estimate satisfies the secant equation
  // H y = s for the newest pair, so the direction at y is -s.
  constexpr double kTolerance = 1e-12;  // relative: a handful of rounded dot products
  for (const std::uint64_t limit : {1u, 2u, 5u, 9u}) {
    auto r = minimise(Rosenbrock{}, {-1.2, 1.0}, limit);
    ASSERT_TRUE(r.has_value());
    const LBFGS& solver = r.value().solver;
    const tondra::optim::Vector& s = solver.step_history().back();
    const std::vector<double> d = solver.direction_at(solver.grad_history().back());
    const double scale = std::hypot(s[0], s[1]);
    EXPECT_NEAR(d[0], -s[0], kTolerance * scale) << limit;
    EXPECT_NEAR(d[1], -s[1], kTolerance * scale) << limit;
  }
}

TEST(Lbfgs, KeepsAtMostHistorySizePairsDroppingTheOldest) {
  // Rosenbrock takes well over 12 iterations, so every run below stops at its limit.
  std::vector<tondra::optim::Vector> previous;
  for (std::uint64_t limit = 1; limit <= 12; ++limit) {
    auto r = minimise(Rosenbrock{}, {-1.2, 1.0}, limit);
    ASSERT_TRUE(r.has_value());
    ASSERT_EQ(r.value().state.status.reason(), TerminationReason::IterationLimit);
    const LBFGS& solver = r.value().solver;
    EXPECT_EQ(solver.step_history().size(), std::min<std::uint64_t>(limit, kHistory));
    EXPECT_EQ(solver.grad_history().size(), solver.step_history().size());
    if (limit > kHistory) {
      // The run is deterministic: one more iteration shifts the window by one pair.
      EXPECT_TRUE(std::equal(previous.begin() + 1, previous.end(), solver.step_history().begin()));
    }
    previous = solver.step_history();
  }
}

// Counts its own evaluations, independently of any wrapper.
struct Tallied {
  Rosenbrock inner;
  std::uint64_t* costs;
  std::uint64_t* gradients;
  OptimResult<double> cost(std::span<const double> x) {
    ++*costs;
    return inner.cost(x);
  }
  OptimResult<std::vector<double>> gradient(std::span<const double> x) {
    ++*gradients;
    return inner.gradient(x);
  }
};

TEST(Lbfgs, ChargesTheLineSearchEvaluationsToTheOuterCounters) {
  std::uint64_t costs = 0, gradients = 0;
  Problem<Tallied> problem(Tallied{Rosenbrock{}, &costs, &gradients});
  LBFGS solver(MoreThuenteLineSearch{}, kHistory);
  IterState state = IterState{}.with_param({-1.2, 1.0});
  auto init = solver.init(problem, state);
  ASSERT_TRUE(init.has_value());
  ASSERT_EQ(costs, 1u);
  ASSERT_EQ(gradients, 1u);
  auto step = solver.next_iter(problem, state);
  ASSERT_TRUE(step.has_value());
  // The search made one cost and one gradient per trial; the step adds one gradient at the end.
  EXPECT_GT(costs, 1u);
  EXPECT_EQ(gradients, costs + 1);
  EXPECT_EQ(problem.counts().count_or_zero(tondra::optim::Evaluation::Cost), costs);
  EXPECT_EQ(problem.counts().count_or_zero(tondra::optim::Evaluation::Gradient), gradients);

  costs = gradients = 0;
  auto r = minimise(Tallied{Rosenbrock{}, &costs, &gradients}, {-1.2, 1.0});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(count_of(r.value().state, tondra::optim::Evaluation::Cost), costs);
  EXPECT_EQ(count_of(r.value().state, tondra::optim::Evaluation::Gradient), gradients);
}

TEST(Lbfgs, ZeroGradientAtTheStartConvergesBeforeAnyIteration) {
  auto r = minimise(Quadratic{{1.0, 4.0}, {0.5, 0.25}}, {0.5, 0.25});
  ASSERT_TRUE(r.has_value());
  const IterState& s = r.value().state;
  EXPECT_EQ(s.status.reason(), TerminationReason::Converged);
  EXPECT_EQ(s.iteration, 0u);
  EXPECT_EQ(s.best_param, (std::vector<double>{0.5, 0.25}));
  EXPECT_EQ(count_of(s, tondra::optim::Evaluation::Cost), 1u);
  EXPECT_EQ(count_of(s, tondra::optim::Evaluation::Gradient), 1u);
}

TEST(Lbfgs, FailedLineSearchStopsTheRunWithoutItsPointOrEvaluations) {
  // Finite at the start only: the first trial meets NaN and the search fails.
  auto r = minimise(NanAwayFrom{{1.0, 2.0}}, {1.0, 2.0});
  ASSERT_TRUE(r.has_value());
  const IterState& s = r.value().state;
  EXPECT_EQ(s.status,
            TerminationStatus::solver_stopped(
                "Line search terminated with: 'Condition violated: \"MoreThuenteLineSearch: NaN "
                "or Inf encountered during iteration\"'"));
  EXPECT_FALSE(s.param.has_value());
  EXPECT_FALSE(s.grad.has_value());
  EXPECT_EQ(s.cost, 5.0);
  EXPECT_EQ(s.best_param, (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(s.iteration, 1u);
  EXPECT_EQ(count_of(s, tondra::optim::Evaluation::Cost), 1u);
  EXPECT_EQ(count_of(s, tondra::optim::Evaluation::Gradient), 1u);
  EXPECT_EQ(r.value().problem.counts(), s.counts);  // the wrapper's counters are set back too
}

TEST(Lbfgs, NanPointsEndTheRunPromptlyInsteadOfHanging) {
  // Every cost and gradient is NaN: nothing converges, and the first search ends the run.
  auto r = minimise(tondra::Circle({0.0, 1.0, kNaN}, {0.0, 1.0, 2.0}), {0.0, 0.0});
  ASSERT_TRUE(r.has_value());
  const IterState& s = r.value().state;
  EXPECT_EQ(s.status.reason(), TerminationReason::SolverStopped);
  EXPECT_EQ(s.iteration, 1u);
  EXPECT_FALSE(s.best_param.has_value());
}

TEST(Lbfgs, StopsWhenTheGradientVanishesOrTheCostStandsStill) {
  const LBFGS solver(MoreThuenteLineSearch{}, kHistory);
  const auto converged = TerminationStatus::terminated(TerminationReason::Converged);
  IterState s;
  s.with_gradient({1.0, 1.0}).with_cost(3.0);
  EXPECT_TRUE(solver.termination_test(s).is_running());  // prev_cost is still +infinity
  s.with_cost(3.0);
  EXPECT_EQ(solver.termination_test(s), converged);
  s.with_cost(2.0).with_gradient({1e-9, -1e-9});
  EXPECT_EQ(solver.termination_test(s), converged);
  s.with_cost(1.0).with_gradient({kNaN, 0.0});
  EXPECT_TRUE(solver.termination_test(s).is_running());
  s.with_cost(kNaN).with_gradient({1.0, 0.0});
  s.with_cost(kNaN);
  EXPECT_TRUE(solver.termination_test(s).is_running());
}

TEST(Lbfgs, MissingStartPointOrStateFieldsAreErrorsWithTheirTexts) {
  Problem<Rosenbrock> problem(Rosenbrock{});
  LBFGS solver(MoreThuenteLineSearch{}, kHistory);
  IterState empty;
  auto init = solver.init(problem, empty);
  ASSERT_FALSE(init.has_value());
  EXPECT_EQ(init.error().kind, OptimErrorKind::NotInitialized);
  EXPECT_EQ(init.error().text,
            "`L-BFGS` requires an initial parameter vector. Please provide an initial guess via "
            "`Executor`s `configure` method.");

  IterState grad_only = IterState{}.with_gradient({1.0, 1.0});
  auto no_param = solver.next_iter(problem, grad_only);
  ASSERT_FALSE(no_param.has_value());
  EXPECT_EQ(no_param.error().kind, OptimErrorKind::PotentialBug);
  EXPECT_EQ(no_param.error().text, "`L-BFGS`: Parameter vector in state not set.");
  IterState param_only = IterState{}.with_param({1.0, 1.0});
  auto no_grad = solver.next_iter(problem, param_only);
  ASSERT_FALSE(no_grad.has_value());
  EXPECT_EQ(no_grad.error().text, "`L-BFGS`: Gradient in state not set.");
  EXPECT_TRUE(problem.counts().empty());
}

}  // namespace
