#pragma once
// What the executor needs from a solver, checked at compile time so that the run loop calls the
// solver directly (no virtual dispatch on the hot path).
//
// A solver S for problems P offers:
//   OptimResult<SolverStep> init(Problem<P>& problem, IterState& state);
//   OptimResult<SolverStep> next_iter(Problem<P>& problem, IterState& state);
//   TerminationStatus termination_test(const IterState& state) const;
// init prepares solver and state once, before the first iteration; next_iter performs one
// iteration and may terminate the state itself; termination_test is the solver's own stopping
// rule, asked before every iteration (a solver without one returns TerminationStatus{}, Running).
// init and next_iter change the state in place: it is a record of several hundred bytes, and a
// step handed it by value and back would copy it several times per iteration. After an error the
// caller drops the state (the executor returns the error alone), so a failed step may leave it
// half changed.
// Solvers generic over the problem write init and next_iter as member templates.

#include <concepts>
#include <optional>
#include <utility>

#include "optim/core/iter_state.hpp"
#include "optim/core/kv.hpp"
#include "optim/core/optim_error.hpp"
#include "optim/core/problem.hpp"
#include "optim/core/termination.hpp"

namespace tondra::optim {

// What init and next_iter hand back besides the state they changed: optionally, diagnostics.
struct SolverStep {
  std::optional<KV> kv;
};

template <class S, class P>
concept Solver = requires(S& solver, const S& csolver, Problem<P>& problem, IterState& state,
                          const IterState& cstate) {
  { solver.init(problem, state) } -> std::same_as<OptimResult<SolverStep>>;
  { solver.next_iter(problem, state) } -> std::same_as<OptimResult<SolverStep>>;
  { csolver.termination_test(cstate) } -> std::same_as<TerminationStatus>;
};

}  // namespace tondra::optim
