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
// values and slopes at best, other and the trial, and narrows the interval:
//
//   case 1  trial higher than best        -> minimiser bracketed between best and trial
//   case 2  lower, slopes of opposite sign -> bracketed between trial and old best
//   case 3  lower, same sign, |slope| shrinks -> extrapolate, trial becomes best
//   case 4  lower, same sign, |slope| grows   -> jump to a bound (or interpolate when bracketed)
//
// Safeguards: every new step is clipped to the current bounds; while unbracketed a trial may
// advance at most `extrapolation_factor` times its last advance beyond best; once bracketed,
// cases 1 and 3 keep the step within 0.66 of the interval from best, and the interval is
// bisected whenever it has not shrunk below 0.66 of its width two updates earlier.
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
// would keep extrapolating and the step would run to +infinity and stay there forever. `cstep`
// itself reports non-finite slopes or interpolation terms the same way. A NaN slope at the
// start point is not rejected by `init` (its descent test is a plain comparison); the first
// trial then ends the search.
//
// min and max here ignore a NaN operand (they return the other one), as std::fmin/fmax do.

#include <cstdint>
#include <optional>
#include <vector>

#include "optim/core/optim_error.hpp"

namespace tondra::optim {

// One sample of the function along the search line. In the first stage `value` and `slope` may
// hold the modified function (the function minus the sufficient-decrease line).
struct StepPoint {
  double step = 0.0;
  double value = 0.0;
  double slope = 0.0;

  bool operator==(const StepPoint&) const = default;
};

// What `cstep` hands back: the new interval ends, the next trial step (carrying the old trial's
// value and slope), whether the minimiser is now bracketed, the bounds as they were passed in,
// and which case applied (1 to 4), or 0 when the inputs were rejected and returned unchanged.
struct StepUpdate {
  StepPoint best;
  StepPoint other;
  StepPoint trial;
  bool bracketed = false;
  double lower = 0.0;
  double upper = 0.0;
  unsigned status = 0;
};

// Predicts the next trial step and updates the interval of uncertainty. Pure. Rejects (status 0,
// inputs unchanged) a trial outside the open bracket, lower > upper, or a trial that does not
// move downhill from best (dx (t - x) >= 0). Fails with ConditionViolated when a slope or an
// interpolation term it needs is not finite.
OptimResult<StepUpdate> cstep(StepPoint best, StepPoint other, StepPoint trial, bool bracketed,
                              double lower, double upper);

}  // namespace tondra::optim
