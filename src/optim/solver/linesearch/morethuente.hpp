#pragma once
// The Moré–Thuente line search: finds a step length a along a descent direction d from x0 at
// which the strong Wolfe conditions hold,
//
//   f(x0 + a d) <= f(x0) + c1 a g0'd            (sufficient decrease, c1 = 1e-4)
//   |g(x0 + a d)'d| <= c2 |g0'd|                (curvature, c2 = 0.9).
//
// The search keeps an interval of uncertainty [best, other] and a trial step. `best` is the end
// with the lowest value so far; each trial costs one cost and one gradient evaluation, after
// which `cstep` predicts the next trial from cubic, quadratic and secant interpolation of the
// values and slopes at best, other and the trial, and narrows the interval (StepCase names the
// rows):
//
//   Rejected             outside the bracket, or not downhill -> nothing changes, retry best
//   HigherValue          higher than best       -> minimiser bracketed between best and trial
//   OppositeSlopes       lower, opposite slopes -> bracketed between trial and old best
//   ShrinkingSlope       lower, same sign, |slope| shrinks -> extrapolate, trial becomes best
//   SteepeningToBound    lower, same sign, |slope| grows, unbracketed -> jump to a bound
//   SteepeningInBracket  the same, bracketed -> interpolate between trial and other
//
// The interpolants: the cubic through two samples (values and slopes), taken in every case but
// SteepeningToBound; the quadratic through two values and the slope at best (HigherValue); the
// secant through two slopes (OppositeSlopes, ShrinkingSlope).
//
// Safeguards: every new step is clipped to the current bounds; while unbracketed a trial may
// advance at most `extrapolation_factor` times its last advance beyond best; once bracketed,
// HigherValue and ShrinkingSlope keep the step within 0.66 of the interval from best, and the
// interval is bisected whenever it has not shrunk below 0.66 of its width two updates earlier.
//
// First stage: until a trial meets sufficient decrease with a slope of at least
// min(c1, c2) g0'd, a trial that fails sufficient decrease but does not rise above the previous
// trial is interpolated on the modified function f(a) - a c1 g0'd, whose minimiser is the first
// point of sufficient decrease; the true function takes over for good afterwards.
//
// Stopping: the search stops (status Converged, the trial point, its cost and its gradient in
// the state) when the strong Wolfe conditions hold, when the step sits at a step bound with the
// conditions unreachable beyond it, when the interval has shrunk to a relative width of
// `width_tolerance`, or when `cstep` rejected its inputs (then the trial falls back to the best
// step, so the returned point is the best one found). There is no iteration budget: the
// interval logic ends every search on finite data.
//
// NaN: a NaN value or slope at a trial ends the search at once with ConditionViolated ("NaN or
// Inf encountered during iteration"). Without that check no stop test could ever hold, `cstep`
// would keep extrapolating and the step would run to +infinity and stay there forever. For the
// same reason a trial step that has overflowed to infinity (a function that decreases without
// bound along d) ends the search with that error before it is evaluated. `cstep` itself reports
// non-finite slopes or interpolation terms the same way. A NaN slope at the start point is not
// rejected by `init` (its descent test is a plain comparison); the first trial then ends the
// search.
//
// Use: set the direction, then run it in an Executor whose state carries the start point (and,
// to save two evaluations, its cost and gradient), or call `search` (below) for the same search
// without an executor, as L-BFGS does on its own problem wrapper:
//   MoreThuenteLineSearch ls;
//   ls.search_direction(d);
//   Executor exec(std::move(problem), ls);
//   exec.configure([&](IterState s) { return std::move(s).with_param(x0).with_gradient(g0)
//                                                           .with_cost(f0); });
// On return the state holds the accepted point, its cost and its gradient, status Converged.
//
// min and max here ignore a NaN operand (they return the other one), as std::fmin/fmax do.

#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "optim/core/iter_state.hpp"
#include "optim/core/optim_error.hpp"
#include "optim/core/problem.hpp"
#include "optim/core/solver.hpp"
#include "optim/core/termination.hpp"
#include "optim/math/vector_math.hpp"

namespace tondra::optim {

// One sample of the function along the search line. In the first stage `value` and `slope` may
// hold the modified function (the function minus the sufficient-decrease line).
struct StepPoint {
  double step = 0.0;
  double value = 0.0;
  double slope = 0.0;

  bool operator==(const StepPoint&) const = default;
};

// Which row of the interval update applied; the comments name the condition on the trial t
// relative to best (values f, slopes g).
enum class StepCase {
  Rejected,             // t outside the bracket, crossed bounds, or t not downhill from best
  HigherValue,          // case 1: f(t) > f(best); bracketed between best and t
  OppositeSlopes,       // case 2: lower, slopes of opposite sign; bracketed between t and best
  ShrinkingSlope,       // case 3: lower, same sign, |g(t)| < |g(best)|; extrapolate
  SteepeningToBound,    // case 4, not bracketed: lower, same sign, |g| not shrinking; a bound
  SteepeningInBracket,  // case 4, bracketed: the same, interpolated between t and other
};

// What `cstep` hands back: the new interval ends, the next trial step, whether the minimiser is
// now bracketed, and which case applied. The trial's value and slope stay with the caller: the
// next trial step carries them.
struct StepUpdate {
  StepPoint best;
  StepPoint other;
  double step = 0.0;
  bool bracketed = false;
  StepCase step_case = StepCase::Rejected;
};

// Predicts the next trial step and updates the interval of uncertainty. Pure. Rejects (best,
// other and bracketed unchanged, the trial's own step as the next) a trial outside the open
// bracket, lower > upper, or a trial that does not move downhill from best. Fails with
// ConditionViolated when a slope or an interpolation term it needs is not finite.
OptimResult<StepUpdate> cstep(StepPoint best, StepPoint other, StepPoint trial, bool bracketed,
                              double lower, double upper);

// The line search as a solver. init sets up everything a search changes, so one instance serves
// search after search. Copyable, vectors included (they live inline: a copy allocates nothing).
class MoreThuenteLineSearch {
 public:
  static constexpr const char* kName = "More-Thuente Line search";

  MoreThuenteLineSearch() = default;

  // The direction of the next search; replaces any earlier one.
  void search_direction(Vector d) { search_direction_ = d; }

  // Takes param (and grad, if present) out of the state as the start point; evaluates the cost
  // only if the state's cost is infinite and the gradient only if grad is absent. Fails when no
  // direction is set, when the state has no param, or when the start slope is >= 0.
  template <class P>
  OptimResult<SolverStep> init(Problem<P>& problem, IterState& state);

  // Evaluates one trial step (one cost, one gradient). Either terminates the state (Converged)
  // with the trial point, its cost and gradient, or narrows the interval for the next call.
  template <class P>
  OptimResult<SolverStep> next_iter(Problem<P>& problem, IterState& state);

  // The search ends only from next_iter.
  TerminationStatus termination_test(const IterState& /*state*/) const { return {}; }

  // Where a search stopped: the accepted point, its cost and its gradient.
  struct Accepted {
    Vector param;
    double cost;
    Vector grad;
  };

  // The whole search from x0, whose cost and gradient the caller knows (an infinite cost is
  // evaluated again, as init does), with the same evaluations, errors and outcome as a run in an
  // Executor. None of an executor's stopping tests could end that run early: there is no
  // iteration limit, and its state's cost stays the start cost until the search stops, so only a
  // start cost of -infinity meets the target test, and an owner at -infinity has met its own
  // target before it searches. Fails as init does when no direction is set.
  template <class P>
  OptimResult<Accepted> search(Problem<P>& problem, const Vector& x0, double f0, const Vector& g0);

  // Read access, for owners and tests.
  const std::optional<Vector>& direction() const { return search_direction_; }
  double start_cost() const { return start_cost_; }
  double start_slope() const { return start_slope_; }
  const StepPoint& best() const { return best_; }
  const StepPoint& other() const { return other_; }
  const StepPoint& trial() const { return trial_; }
  double trial_cost() const { return trial_cost_; }
  double width() const { return width_; }
  double previous_width() const { return previous_width_; }
  StepCase step_case() const { return step_case_; }
  bool bracketed() const { return bracketed_; }
  bool first_stage() const { return first_stage_; }

 private:
  // The interval a trial step may come from.
  struct TrialBounds {
    double lower;
    double upper;
  };
  enum class Verdict { Stop, Continue };

  static OptimError direction_missing();

  // Records the start point and sets up the interval at step 0.
  OptimResult<base::Unit> begin(const Vector& param, double cost, const Vector& grad);
  // Evaluates the pending trial step (one cost, one gradient): the accepted point when the search
  // stops there, nothing when it goes on with the next trial.
  template <class P>
  OptimResult<std::optional<Accepted>> evaluate_trial(Problem<P>& problem);
  // Bounds the pending trial step, clamps it and falls back to best where needed.
  OptimResult<TrialBounds> prepare_trial();
  // Judges the evaluated trial (value f, gradient g) and, unless it stops the search, updates the
  // interval and picks the next trial step.
  OptimResult<Verdict> judge_trial(TrialBounds bounds, double f, std::span<const double> g);

  std::optional<Vector> search_direction_;
  std::optional<Vector> start_param_;
  std::optional<Vector> start_grad_;
  double start_cost_ = std::numeric_limits<double>::infinity();
  double start_slope_ = 0.0;
  double decrease_slope_ = 0.0;
  double decrease_coeff_ = 1e-4;       // c1 of sufficient decrease
  double curvature_coeff_ = 0.9;       // c2 of the curvature condition
  double extrapolation_factor_ = 4.0;  // unbracketed: next advance <= 4x the last one
  double width_ = std::numeric_limits<double>::quiet_NaN();
  double previous_width_ = std::numeric_limits<double>::quiet_NaN();
  double width_tolerance_ = 1e-10;            // relative width at which the interval is used up
  double initial_step_ = 1.0;                 // a quasi-Newton direction is scaled for a unit step
  double min_step_ = 1.4901161193847656e-08;  // 2^-26: shorter steps move nothing measurable
  double max_step_ = std::numeric_limits<double>::infinity();
  StepPoint trial_;
  StepPoint best_;
  StepPoint other_;
  double trial_cost_ = std::numeric_limits<double>::quiet_NaN();
  // The case of the last update; `begin` sets anything but Rejected.
  StepCase step_case_ = StepCase::HigherValue;
  bool bracketed_ = false;
  bool first_stage_ = true;
};

template <class P>
OptimResult<SolverStep> MoreThuenteLineSearch::init(Problem<P>& problem, IterState& state) {
  if (!search_direction_) return direction_missing();
  std::optional<Vector> param = state.take_param();
  if (!param) {
    return OptimError::not_initialized(
        "`MoreThuenteLineSearch` requires an initial parameter vector. Please provide an initial "
        "guess via `Executor`s `configure` method.");
  }
  // An owner that knows the start cost and gradient passes them; nothing is evaluated then.
  OptimResult<StartPoint> start =
      complete_start_point(problem, *param, state.cost, state.take_grad());
  if (!start) return std::move(start).error();
  OptimResult<base::Unit> begun = begin(*param, start.value().cost, start.value().grad);
  if (!begun) return std::move(begun).error();
  return SolverStep{std::nullopt};
}

template <class P>
OptimResult<SolverStep> MoreThuenteLineSearch::next_iter(Problem<P>& problem, IterState& state) {
  OptimResult<std::optional<Accepted>> evaluated = evaluate_trial(problem);
  if (!evaluated) return std::move(evaluated).error();
  if (std::optional<Accepted>& accepted = evaluated.value()) {
    state.with_param(accepted->param).with_cost(accepted->cost).with_gradient(accepted->grad);
    state.terminate_with(TerminationReason::Converged);
  }
  return SolverStep{std::nullopt};
}

template <class P>
OptimResult<MoreThuenteLineSearch::Accepted> MoreThuenteLineSearch::search(Problem<P>& problem,
                                                                           const Vector& x0,
                                                                           const double f0,
                                                                           const Vector& g0) {
  if (!search_direction_) return direction_missing();
  OptimResult<StartPoint> start = complete_start_point(problem, x0, f0, g0);
  if (!start) return std::move(start).error();
  OptimResult<base::Unit> begun = begin(x0, start.value().cost, start.value().grad);
  if (!begun) return std::move(begun).error();
  while (true) {
    OptimResult<std::optional<Accepted>> evaluated = evaluate_trial(problem);
    if (!evaluated) return std::move(evaluated).error();
    if (evaluated.value()) return std::move(*evaluated.value());
  }
}

template <class P>
OptimResult<std::optional<MoreThuenteLineSearch::Accepted>> MoreThuenteLineSearch::evaluate_trial(
    Problem<P>& problem) {
  if (!start_param_ || !search_direction_) fault_none();  // begin succeeded before any trial
  OptimResult<TrialBounds> bounds = prepare_trial();
  if (!bounds) return std::move(bounds).error();

  const Vector point = add(*start_param_, mul(*search_direction_, trial_.step));
  // The cost, then the gradient at the same point: one pass over the data where the problem can.
  OptimResult<CostAndGradient> fg = problem.cost_and_gradient(point);
  if (!fg) return std::move(fg).error();
  const double f = fg.value().cost;
  trial_cost_ = f;

  OptimResult<Verdict> verdict = judge_trial(bounds.value(), f, fg.value().grad);
  if (!verdict) return std::move(verdict).error();
  if (verdict.value() == Verdict::Continue) return std::optional<Accepted>{};
  return std::optional<Accepted>{Accepted{point, f, fg.value().grad}};
}

}  // namespace tondra::optim
