#pragma once
// Executor<P, S>: runs solver S on problem P until a stopping condition holds.
//
// Built once, configured, run once (run consumes it):
//   Executor exec(std::move(problem), std::move(solver));
//   exec.configure([](IterState s) { return std::move(s).with_max_iterations(100); });
//   OptimResult<OptimizationResult<P, S>> result = std::move(exec).run();
//
// The run: solver.init once (only for a state that has not iterated yet), then the best-so-far
// update and a copy of the counters. Then, at the top of each turn while the state is Running,
// the stopping tests in this order, the first that holds deciding:
//   1. the solver's termination_test;
//   2. iteration >= max_iterations          -> IterationLimit;
//   3. target_cost >= best_cost (false on NaN) -> TargetCostMet.
// A terminated state leaves the loop; otherwise next_iter runs, the counters are copied, the best
// is updated, the iteration counted and the elapsed time taken, and a step that terminated the
// state itself ends the loop after being counted. So max_iterations = N allows at most N calls
// of next_iter, and a state terminated by init gets none.
//
// An error from init or next_iter ends the run at once with that error: no partial result is
// returned, since nothing here can tell a caller how far a failed step got. Diagnostics records
// are dropped: no observer is ever registered.

#include <chrono>
#include <type_traits>
#include <utility>

#include "optim/core/iter_state.hpp"
#include "optim/core/optim_error.hpp"
#include "optim/core/problem.hpp"
#include "optim/core/solver.hpp"
#include "optim/core/termination.hpp"

namespace tondra::optim {

// What a finished run hands back: the wrapper (with the problem and its final counters), the
// solver in its final state, and the final state.
template <class P, class S>
struct OptimizationResult {
  Problem<P> problem;
  S solver;
  IterState state;
};

template <class P, class S>
requires Solver<S, P>
class Executor {
 public:
  Executor(P problem, S solver) : problem_(std::move(problem)), solver_(std::move(solver)) {}

  // Passes the state by value to f and keeps the state f returns; an f that takes the state by
  // reference and returns nothing changes it in place instead (no copies: a nested run configured
  // once per outer iteration).
  template <class F>
  Executor& configure(F&& f) & {
    if (!state_) fault_none();
    if constexpr (std::is_void_v<std::invoke_result_t<F, IterState&>>) {
      std::forward<F>(f)(*state_);
    } else {
      state_.emplace(std::forward<F>(f)(std::move(*state_)));
    }
    return *this;
  }
  template <class F>
  Executor&& configure(F&& f) && {
    return std::move(configure(std::forward<F>(f)));
  }

  OptimResult<OptimizationResult<P, S>> run() &&;

 private:
  TerminationStatus stopping_tests(const IterState& state) const;

  Problem<P> problem_;
  S solver_;
  std::optional<IterState> state_ = IterState{};
  // The one timer setting used: each run measures its elapsed time.
  bool timer_ = true;
};

template <class P, class S>
requires Solver<S, P>
TerminationStatus Executor<P, S>::stopping_tests(const IterState& state) const {
  TerminationStatus solver_status = solver_.termination_test(state);
  if (solver_status.is_terminated()) return solver_status;
  if (state.iteration >= state.max_iterations) {
    return TerminationStatus::terminated(TerminationReason::IterationLimit);
  }
  if (state.target_cost >= state.best_cost) {
    return TerminationStatus::terminated(TerminationReason::TargetCostMet);
  }
  return TerminationStatus{};
}

template <class P, class S>
requires Solver<S, P>
OptimResult<OptimizationResult<P, S>> Executor<P, S>::run() && {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = timer_ ? Clock::now() : Clock::time_point{};
  if (!state_) fault_none();
  IterState state = std::move(*state_);
  state_.reset();

  if (state.iteration == 0) {
    OptimResult<SolverStep> step = solver_.init(problem_, state);
    if (!step) return std::move(step).error();
    state.update_best();
    state.func_counts(problem_);
  }

  while (true) {
    if (state.status.is_running()) state.status = stopping_tests(state);
    if (state.status.is_terminated()) break;

    OptimResult<SolverStep> step = solver_.next_iter(problem_, state);
    if (!step) return std::move(step).error();
    state.func_counts(problem_);
    state.update_best();
    state.iteration += 1;
    if (timer_) {
      state.elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start);
    }
    if (state.status.is_terminated()) break;
  }

  return OptimizationResult<P, S>{std::move(problem_), std::move(solver_), std::move(state)};
}

}  // namespace tondra::optim
