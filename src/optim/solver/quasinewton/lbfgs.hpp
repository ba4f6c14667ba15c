#pragma once
// L-BFGS: a limited-memory quasi-Newton minimiser for problems with a cost and a gradient.
//
// Each iteration turns the gradient g_k into a direction d = -H g_k, where H approximates the
// inverse Hessian from the last m pairs s_j = x_(j+1) - x_j, y_j = g_(j+1) - g_j (the two-loop
// recursion), scaled by gamma = s'y / y'y of the newest pair (1 before there is one, so the first
// direction is -g). A Moré–Thuente line search picks the step; it borrows this solver's problem
// wrapper for the length of the search, so its evaluations are counted where they happen. The
// gradient at the accepted point is asked for once more (not taken from the search; a problem
// may answer it from what it kept of the search's last evaluation) and the new pair appended;
// from iteration m on the oldest pair is dropped first, so at most m pairs are kept. No pair is
// tested or skipped: a pair with s'y <= 0 is used as it is.
//
// Stopping (termination_test, before each iteration): Converged when |g| < 2^-26 or when the
// cost changed by less than machine epsilon in the last step. NaN compares false, so a NaN cost
// or gradient never stops the run here; the line search ends such a run (below).
//
// A failed line search (a direction that is not downhill, NaN or infinity met along it, an error
// from the problem) is not an error of this solver: the run ends normally with SolverStopped
// and "Line search terminated with: '<the error's message>'". The state then has no param and no
// grad; the caller's best parameters are those recorded before. The failed search's evaluations
// are not counted: the counters are set back to where they stood before it.
//
// Use (the fit's configuration):
//   LBFGS solver(MoreThuenteLineSearch{}, 7);
//   Executor exec(std::move(problem), std::move(solver));
//   exec.configure([](IterState s) { return std::move(s).with_param({0.0, 0.0})
//                                                         .with_max_iterations(100); });
//   auto result = std::move(exec).run();   // OptimResult<OptimizationResult<P, LBFGS>>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "optim/core/iter_state.hpp"
#include "optim/core/kv.hpp"
#include "optim/core/optim_error.hpp"
#include "optim/core/problem.hpp"
#include "optim/core/solver.hpp"
#include "optim/core/termination.hpp"
#include "optim/math/vector_math.hpp"
#include "optim/solver/linesearch/morethuente.hpp"

namespace tondra::optim {

class LBFGS {
 public:
  static constexpr const char* kName = "L-BFGS";

  // Keeps `line_search` (its settings) for the search of every iteration, and room for
  // `history_size` difference pairs. Evaluates nothing.
  LBFGS(MoreThuenteLineSearch line_search, std::size_t history_size);

  // Puts the start point, its cost and its gradient in the state, evaluating the cost only if the
  // state's cost is infinite and the gradient only if the state has none.
  template <class P>
  OptimResult<SolverStep> init(Problem<P>& problem, IterState& state);

  // One quasi-Newton step on the state; returns a "gamma" diagnostics entry.
  template <class P>
  OptimResult<SolverStep> next_iter(Problem<P>& problem, IterState& state);

  TerminationStatus termination_test(const IterState& state) const;

  // The direction the next iteration would take at gradient g: -H g with the current pairs and
  // scaling. Evaluates nothing.
  Vector direction_at(std::span<const double> g) const { return direction(g, scaling()); }

  // Read access, for owners and tests.
  const MoreThuenteLineSearch& line_search() const { return line_search_; }
  std::size_t history_size() const { return history_size_; }
  const std::vector<Vector>& step_history() const { return step_history_; }
  const std::vector<Vector>& grad_history() const { return grad_history_; }

 private:
  // s'y / y'y of the newest pair; 1 without history. A zero y gives a non-finite gamma.
  double scaling() const;
  // -H g by the two-loop recursion over the stored pairs, oldest to newest.
  Vector direction(std::span<const double> g, double gamma) const;
  // Drops the oldest pair once the history is in steady state, then appends the new one.
  void record_pair(std::uint64_t iteration, const Vector& s, const Vector& y);

  // Set up afresh by each search's init; holds the last search's direction and interval.
  MoreThuenteLineSearch line_search_;
  std::size_t history_size_;
  // Both reserved for the most pairs ever held, so recording a pair never allocates.
  std::vector<Vector> step_history_;  // s_j, oldest first
  std::vector<Vector> grad_history_;  // y_j, in step with step_history_
  // Scratch of the two-loop recursion (rho_j, alpha_j), sized like the history.
  mutable std::vector<double> rho_;
  mutable std::vector<double> alpha_;
  double grad_tolerance_ = 1.4901161193847656e-08;  // 2^-26: a gradient this small is noise
  double cost_tolerance_ = 2.220446049250313e-16;   // machine epsilon: the cost stopped moving
};

template <class P>
OptimResult<SolverStep> LBFGS::init(Problem<P>& problem, IterState& state) {
  std::optional<Vector> param = state.take_param();
  if (!param) {
    return OptimError::not_initialized(
        "`L-BFGS` requires an initial parameter vector. Please provide an initial guess via "
        "`Executor`s `configure` method.");
  }
  OptimResult<StartPoint> start =
      complete_start_point(problem, *param, state.cost, state.take_grad());
  if (!start) return std::move(start).error();
  state.with_param(*param).with_cost(start.value().cost).with_gradient(start.value().grad);
  return SolverStep{std::nullopt};
}

template <class P>
OptimResult<SolverStep> LBFGS::next_iter(Problem<P>& problem, IterState& state) {
  std::optional<Vector> x = state.take_param();
  if (!x) return OptimError::potential_bug("`L-BFGS`: Parameter vector in state not set.");
  const double cost = state.cost;
  std::optional<Vector> g = state.take_grad();
  if (!g) return OptimError::potential_bug("`L-BFGS`: Gradient in state not set.");

  const double gamma = scaling();
  KV kv;
  kv.insert("gamma", gamma);
  line_search_.search_direction(direction(*g, gamma));

  // A failed search is not charged: its evaluations come off the counters again.
  const FuncCounts counts_before = problem.counts();
  OptimResult<MoreThuenteLineSearch::Accepted> found = line_search_.search(problem, *x, cost, *g);
  if (!found) {
    problem.reset_counts(counts_before);
    state.status = TerminationStatus::solver_stopped("Line search terminated with: '" +
                                                     found.error().message() + "'");
    return SolverStep{std::move(kv)};
  }
  const Vector& x_next = found.value().param;
  const double cost_next = found.value().cost;

  OptimResult<Vector> g_next = problem.gradient(x_next);
  if (!g_next) return std::move(g_next).error();
  record_pair(state.iteration, sub(x_next, *x), sub(g_next.value(), *g));
  state.with_param(x_next).with_cost(cost_next).with_gradient(g_next.value());
  return SolverStep{std::move(kv)};
}

}  // namespace tondra::optim
