#include "optim/solver/linesearch/morethuente.hpp"

#include <cmath>
#include <optional>
#include <utility>

namespace tondra::optim {
namespace {

// Case 3 has always reported its failure with the type name quoted; the other cases without.
// Callers match on these texts, so both stay as they are.
constexpr const char* kNonFiniteText =
    "MoreThuenteLineSearch: NaN or Inf encountered during iteration";
constexpr const char* kNonFiniteTextQuoted =
    "`MoreThuenteLineSearch`: NaN or Inf encountered during iteration";

// A NaN operand is ignored: the other one is returned (NaN only when both are NaN).
double min_of(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return a < b ? a : b;
}

double max_of(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return a > b ? a : b;
}

// The root term of the cubic through two samples with slopes s1 and s2, where theta is the
// cubic's middle coefficient. Symmetric in s1 and s2 to the bit for finite arguments: the
// largest magnitude does not depend on their order and the product commutes. Scaling by that
// magnitude keeps the squares from overflowing. A negative radicand gives NaN unless `clamp`
// raises it to zero.
double cubic_gamma(double theta, double s1, double s2, bool clamp) {
  const double scale = max_of(max_of(std::fabs(theta), std::fabs(s1)), std::fabs(s2));
  const double ts = theta / scale;
  const double radicand = ts * ts - (s1 / scale) * (s2 / scale);
  return scale * std::sqrt(clamp ? max_of(0.0, radicand) : radicand);
}

// theta of the cubic through values fa at a and fb at b with slopes s1 and s2 (added in that
// order); assumes a != b.
double cubic_theta(double a, double fa, double b, double fb, double s1, double s2) {
  return 3.0 * (fa - fb) / (b - a) + s1 + s2;
}

// theta, after checking that it and the two slopes it adds are finite: an interpolation through
// an infinite or NaN term predicts nothing. Fails with `text` otherwise.
OptimResult<double> finite_theta(double a, double fa, double b, double fb, double s1, double s2,
                                 const char* text) {
  if (!std::isfinite(s2) || !std::isfinite(s1)) return OptimError::condition_violated(text);
  const double theta = cubic_theta(a, fa, b, fb, s1, s2);
  if (!std::isfinite(theta)) return OptimError::condition_violated(text);
  return theta;
}

// The minimiser of the cubic through `from` and `to` whose theta is given, written as a step
// from `from` toward `to`: from + r (to - from). gamma takes the sign that picks the minimiser
// rather than the maximiser for the direction of travel. Assumes from.step != to.step and finite
// slopes and theta; a negative radicand makes the step NaN, which the caller's clip turns into a
// bound.
double cubic_minimiser(StepPoint from, StepPoint to, double theta) {
  double gamma = cubic_gamma(theta, from.slope, to.slope, false);
  if (to.step < from.step) gamma = -gamma;
  const double p = (gamma - from.slope) + theta;
  const double q = ((gamma - from.slope) + gamma) + to.slope;
  const double r = p / q;
  return from.step + r * (to.step - from.step);
}

// The same cubic when the slopes share their sign and shrink from `to` to `from`: its radicand
// is clamped at zero, and it may have no minimiser beyond `from` away from `to` (gamma = 0, or
// r >= 0). Returns the minimiser when there is one there, nothing otherwise. Assumes
// from.step != to.step and finite slopes and theta.
std::optional<double> clamped_cubic_minimiser(StepPoint from, StepPoint to, double theta) {
  double gamma = cubic_gamma(theta, to.slope, from.slope, true);
  if (to.step < from.step) gamma = -gamma;
  if (gamma == 0.0) return std::nullopt;
  const double p = (gamma - from.slope) + theta;
  const double q = ((to.slope - from.slope) + gamma) + gamma;
  const double r = p / q;
  if (!(r < 0.0)) return std::nullopt;
  return from.step + r * (to.step - from.step);
}

// The minimiser of the quadratic through the values at `from` and `to` and the slope at `from`,
// as a step from `from`. Assumes from.step != to.step and a quadratic that opens upward (the
// value at `to` lies above the tangent at `from`), as when `to` is higher than `from`.
double quadratic_minimiser(StepPoint from, StepPoint to) {
  return from.step +
         ((from.slope / ((from.value - to.value) / (to.step - from.step) + from.slope)) / 2.0) *
             (to.step - from.step);
}

// The zero of the slope interpolated linearly between `from` and `to` (the minimiser of the
// quadratic through both slopes), as a step from `from`. Assumes from.slope != to.slope.
double secant_minimiser(StepPoint from, StepPoint to) {
  return from.step + (from.slope / (from.slope - to.slope)) * (to.step - from.step);
}

// Machine epsilon: a step this close to a step bound sits on it.
constexpr double kEpsilon = 2.220446049250313e-16;

// Once bracketed, an interval that has not shrunk below this share of its width two updates
// earlier is bisected, so a run of poor interpolations cannot stall the search.
constexpr double kShrinkFactor = 0.66;

}  // namespace

OptimResult<StepUpdate> cstep(const StepPoint best, const StepPoint other, const StepPoint trial,
                              bool bracketed, const double lower, const double upper) {
  const double x = best.step;
  const double t = trial.step;
  // The slope at best: its sign is the direction in which best can be improved.
  const double best_slope = best.slope;

  // A trial outside the bracket, crossed bounds, or a trial not downhill from best leaves
  // nothing sound to interpolate; the caller falls back to best.
  if ((bracketed && (t <= min_of(x, other.step) || t >= max_of(x, other.step))) || lower > upper ||
      best_slope * (t - x) >= 0.0) {
    return StepUpdate{best, other, t, bracketed, StepCase::Rejected};
  }

  double s_new;
  StepCase step_case;
  // Cases 1 and 3 keep a bracketed step away from the far end of the interval.
  bool bounded;
  StepPoint new_best = best;
  StepPoint new_other = other;

  if (trial.value > best.value) {
    // Case 1: a higher value brackets the minimiser between best and trial. Take the cubic step
    // if it is nearer to best than the quadratic one, else halfway between the two.
    OptimResult<double> theta =
        finite_theta(x, best.value, t, trial.value, best_slope, trial.slope, kNonFiniteText);
    if (!theta) return std::move(theta).error();
    const double c = cubic_minimiser(best, trial, theta.value());
    const double qd = quadratic_minimiser(best, trial);
    s_new = std::fabs(c - x) < std::fabs(qd - x) ? c : c + (qd - c) / 2.0;
    step_case = StepCase::HigherValue;
    bracketed = true;
    bounded = true;
    new_other = trial;
  } else if (trial.slope * (best_slope / std::fabs(best_slope)) < 0.0) {
    // Case 2: opposite slopes bracket the minimiser between trial and old best. Take whichever of
    // cubic and secant step lies farther from the trial.
    OptimResult<double> theta =
        finite_theta(x, best.value, t, trial.value, best_slope, trial.slope, kNonFiniteText);
    if (!theta) return std::move(theta).error();
    const double c = cubic_minimiser(trial, best, theta.value());
    const double qd = secant_minimiser(trial, best);
    s_new = std::fabs(c - t) > std::fabs(qd - t) ? c : qd;
    step_case = StepCase::OppositeSlopes;
    bracketed = true;
    bounded = false;
    new_other = best;
    new_best = trial;
  } else if (std::fabs(trial.slope) < std::fabs(best_slope)) {
    // Case 3: same sign, shrinking slope. The cubic may have no minimiser in the direction of
    // travel (then it points at the bound). When bracketed the step nearer to the trial is the
    // cautious one; when not, the farther one extrapolates more boldly.
    OptimResult<double> theta =
        finite_theta(x, best.value, t, trial.value, best_slope, trial.slope, kNonFiniteTextQuoted);
    if (!theta) return std::move(theta).error();
    const std::optional<double> cubic = clamped_cubic_minimiser(trial, best, theta.value());
    const double c = cubic ? *cubic : (t > x ? upper : lower);
    const double qd = secant_minimiser(trial, best);
    if (bracketed) {
      s_new = std::fabs(t - qd) > std::fabs(t - c) ? c : qd;
    } else {
      s_new = std::fabs(t - c) > std::fabs(t - qd) ? c : qd;
    }
    step_case = StepCase::ShrinkingSlope;
    bounded = true;
    new_best = trial;
  } else if (bracketed) {
    // Case 4, bracketed: same sign, slope not shrinking; interpolate between trial and other.
    OptimResult<double> theta = finite_theta(t, trial.value, other.step, other.value, other.slope,
                                             trial.slope, kNonFiniteText);
    if (!theta) return std::move(theta).error();
    s_new = cubic_minimiser(trial, other, theta.value());
    step_case = StepCase::SteepeningInBracket;
    bounded = false;
    new_best = trial;
  } else {
    // Case 4, not bracketed: nothing useful can be interpolated, so go to the bound.
    s_new = t > x ? upper : lower;
    step_case = StepCase::SteepeningToBound;
    bounded = false;
    new_best = trial;
  }

  // A NaN step (negative radicand in cases 1, 2, 4) becomes a bound here.
  s_new = max_of(min_of(s_new, upper), lower);
  if (bounded && bracketed) {
    const double b = new_best.step + kShrinkFactor * (new_other.step - new_best.step);
    s_new = new_other.step > new_best.step ? min_of(s_new, b) : max_of(s_new, b);
  }

  return StepUpdate{new_best, new_other, s_new, bracketed, step_case};
}

OptimError MoreThuenteLineSearch::direction_missing() {
  return OptimError::not_initialized(
      "`MoreThuenteLineSearch`: Search direction not initialized. Call `search_direction` "
      "before executing the solver.");
}

OptimResult<base::Unit> MoreThuenteLineSearch::begin(const Vector& param, const double cost,
                                                     const Vector& grad) {
  start_param_ = param;
  start_cost_ = cost;
  start_grad_ = grad;
  start_slope_ = dot(*start_grad_, *search_direction_);
  // A plain comparison: a NaN slope passes here and the first trial ends the search.
  if (start_slope_ >= 0.0) {
    return OptimError::condition_violated(
        "`MoreThuenteLineSearch`: Search direction must be a descent direction.");
  }
  bracketed_ = false;
  first_stage_ = true;
  step_case_ = StepCase::HigherValue;  // no update yet: not Rejected, which would end the search
  decrease_slope_ = decrease_coeff_ * start_slope_;
  width_ = max_step_ - min_step_;
  previous_width_ = 2.0 * width_;
  trial_cost_ = start_cost_;
  trial_ = StepPoint{initial_step_, std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::quiet_NaN()};
  best_ = StepPoint{0.0, start_cost_, start_slope_};
  other_ = best_;
  return base::Unit{};
}

OptimResult<MoreThuenteLineSearch::TrialBounds> MoreThuenteLineSearch::prepare_trial() {
  const double x = best_.step;
  const double y = other_.step;
  TrialBounds bounds;
  if (bracketed_) {
    bounds = {min_of(x, y), max_of(x, y)};
  } else {
    bounds = {x, trial_.step + extrapolation_factor_ * (trial_.step - x)};
  }
  trial_.step = min_of(max_of(trial_.step, min_step_), max_step_);

  // Nothing more can be learned inside a used-up interval or after cstep rejected its inputs:
  // evaluate the best step once more so that the search returns it.
  if ((bracketed_ && (trial_.step <= bounds.lower || trial_.step >= bounds.upper)) ||
      (bracketed_ && bounds.upper - bounds.lower <= width_tolerance_ * bounds.upper) ||
      step_case_ == StepCase::Rejected) {
    trial_.step = x;
  }
  // Unbounded extrapolation has overflowed: the function keeps falling along d and no stop test
  // can hold any more, so stop rather than evaluate at infinity forever.
  if (!std::isfinite(trial_.step)) return OptimError::condition_violated(kNonFiniteText);
  return bounds;
}

OptimResult<MoreThuenteLineSearch::Verdict> MoreThuenteLineSearch::judge_trial(
    const TrialBounds bounds, const double f, const std::span<const double> g) {
  const double x = best_.step;
  const double y = other_.step;
  const double t = trial_.step;
  const double dg = dot(g, *search_direction_);
  // Checked first, before any test reads f or dg: every comparison with NaN is false, so no stop
  // test could ever hold and cstep would extrapolate the step to +infinity without end.
  if (std::isnan(f) || std::isnan(dg)) return OptimError::condition_violated(kNonFiniteText);
  const double f_test = start_cost_ + t * decrease_slope_;

  const bool interval_used_up =
      (bracketed_ && (t <= bounds.lower || t >= bounds.upper)) || step_case_ == StepCase::Rejected;
  const bool at_max_step =
      std::fabs(t - max_step_) < kEpsilon && f <= f_test && dg <= decrease_slope_;
  const bool at_min_step =
      std::fabs(t - min_step_) < kEpsilon && (f > f_test || dg >= decrease_slope_);
  const bool too_narrow =
      bracketed_ && bounds.upper - bounds.lower <= width_tolerance_ * bounds.upper;
  const bool strong_wolfe = f <= f_test && std::fabs(dg) <= curvature_coeff_ * (-start_slope_);
  if (interval_used_up || at_max_step || at_min_step || too_narrow || strong_wolfe) {
    return Verdict::Stop;
  }

  if (first_stage_ && f <= f_test &&
      dg >= min_of(decrease_coeff_, curvature_coeff_) * start_slope_) {
    first_stage_ = false;
  }

  if (first_stage_ && f > f_test && f <= trial_.value) {
    // Interpolate psi(a) = f(a) - a D, whose minimiser is the first point of sufficient
    // decrease, then shift the interval ends back to f. The trial keeps psi's value and slope.
    const double d = decrease_slope_;
    const StepPoint shifted_trial{t, f - t * d, dg - d};
    OptimResult<StepUpdate> r = cstep(StepPoint{x, best_.value - x * d, best_.slope - d},
                                      StepPoint{y, other_.value - y * d, other_.slope - d},
                                      shifted_trial, bracketed_, bounds.lower, bounds.upper);
    if (!r) return std::move(r).error();
    const StepUpdate& u = r.value();
    best_ = StepPoint{u.best.step, u.best.value + u.best.step * d, u.best.slope + d};
    other_ = StepPoint{u.other.step, u.other.value + u.other.step * d, u.other.slope + d};
    // The next trial carries this one's shifted value and slope.
    trial_ = StepPoint{u.step, shifted_trial.value, shifted_trial.slope};
    bracketed_ = u.bracketed;
    step_case_ = u.step_case;
  } else {
    OptimResult<StepUpdate> r =
        cstep(best_, other_, StepPoint{t, f, dg}, bracketed_, bounds.lower, bounds.upper);
    if (!r) return std::move(r).error();
    const StepUpdate& u = r.value();
    best_ = u.best;
    other_ = u.other;
    // The next trial carries this one's value and slope.
    trial_ = StepPoint{u.step, f, dg};
    trial_cost_ = f;
    bracketed_ = u.bracketed;
    step_case_ = u.step_case;
  }

  if (bracketed_) {
    const double new_width = std::fabs(other_.step - best_.step);
    if (new_width >= kShrinkFactor * previous_width_) {
      trial_.step = best_.step + 0.5 * (other_.step - best_.step);
    }
    previous_width_ = width_;
    width_ = new_width;
  }
  return Verdict::Continue;
}

}  // namespace tondra::optim
