#include "optim/solver/linesearch/morethuente.hpp"

#include <cmath>

namespace tondra::optim {
namespace {

// Case 3 has always reported its failure with the type name quoted; the other cases without.
// Callers match on these texts, so both stay as they are.
constexpr const char* kNonFiniteText = "MoreThuenteLineSearch: NaN or Inf encountered during iteration";
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

// The root term of the cubic through two points with slopes s1 and s2, where theta is the
// cubic's middle coefficient. Scaling by the largest magnitude keeps the squares from
// overflowing. A negative radicand gives NaN unless `clamp` raises it to zero.
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

// Machine epsilon: a step this close to a step bound sits on it.
constexpr double kEpsilon = 2.220446049250313e-16;

// Once bracketed, an interval that has not shrunk below this share of its width two updates
// earlier is bisected, so a run of poor interpolations cannot stall the search.
constexpr double kShrinkFactor = 0.66;

}  // namespace

OptimResult<StepUpdate> cstep(StepPoint best, StepPoint other, StepPoint trial, bool bracketed,
                              double lower, double upper) {
  const double x = best.step, fx = best.value, dx = best.slope;
  const double y = other.step, fy = other.value, dy = other.slope;
  const double t = trial.step, ft = trial.value, dt = trial.slope;

  // A trial outside the bracket, crossed bounds, or a trial not downhill from best leaves
  // nothing sound to interpolate; the caller falls back to best.
  if ((bracketed && (t <= min_of(x, y) || t >= max_of(x, y))) || lower > upper ||
      dx * (t - x) >= 0.0) {
    return StepUpdate{best, other, trial, bracketed, lower, upper, 0};
  }

  double s_new;
  unsigned status;
  bool bounded;
  StepPoint new_best = best;
  StepPoint new_other = other;

  if (ft > fx) {
    // Case 1: a higher value brackets the minimiser between best and trial. Take the cubic step
    // if it is nearer to best than the quadratic one, else halfway between the two.
    if (!std::isfinite(dt) || !std::isfinite(dx)) return OptimError::condition_violated(kNonFiniteText);
    const double theta = cubic_theta(x, fx, t, ft, dx, dt);
    if (!std::isfinite(theta)) return OptimError::condition_violated(kNonFiniteText);
    double gamma = cubic_gamma(theta, dx, dt, false);
    if (t < x) gamma = -gamma;
    const double p = (gamma - dx) + theta;
    const double q = ((gamma - dx) + gamma) + dt;
    const double r = p / q;
    const double c = x + r * (t - x);
    const double qd = x + ((dx / ((fx - ft) / (t - x) + dx)) / 2.0) * (t - x);
    s_new = std::fabs(c - x) < std::fabs(qd - x) ? c : c + (qd - c) / 2.0;
    status = 1;
    bracketed = true;
    bounded = true;
    new_other = trial;
  } else if (dt * (dx / std::fabs(dx)) < 0.0) {
    // Case 2: opposite slopes bracket the minimiser between trial and old best. Take whichever of
    // cubic and secant step lies farther from the trial.
    if (!std::isfinite(dt) || !std::isfinite(dx)) return OptimError::condition_violated(kNonFiniteText);
    const double theta = cubic_theta(x, fx, t, ft, dx, dt);
    if (!std::isfinite(theta)) return OptimError::condition_violated(kNonFiniteText);
    double gamma = cubic_gamma(theta, dx, dt, false);
    if (t > x) gamma = -gamma;
    const double p = (gamma - dt) + theta;
    const double q = ((gamma - dt) + gamma) + dx;
    const double r = p / q;
    const double c = t + r * (x - t);
    const double qd = t + (dt / (dt - dx)) * (x - t);
    s_new = std::fabs(c - t) > std::fabs(qd - t) ? c : qd;
    status = 2;
    bracketed = true;
    bounded = false;
    new_other = best;
    new_best = trial;
  } else if (std::fabs(dt) < std::fabs(dx)) {
    // Case 3: same sign, shrinking slope. The cubic may have no minimiser in the direction of
    // travel (then it points at the bound). When bracketed the step nearer to the trial is the
    // cautious one; when not, the farther one extrapolates more boldly.
    if (!std::isfinite(dt) || !std::isfinite(dx)) {
      return OptimError::condition_violated(kNonFiniteTextQuoted);
    }
    const double theta = cubic_theta(x, fx, t, ft, dx, dt);
    if (!std::isfinite(theta)) return OptimError::condition_violated(kNonFiniteTextQuoted);
    double gamma = cubic_gamma(theta, dx, dt, true);
    if (t > x) gamma = -gamma;
    double r = 0.0;
    if (gamma != 0.0) {
      const double p = (gamma - dt) + theta;
      const double q = ((dx - dt) + gamma) + gamma;
      r = p / q;
    }
    double c;
    if (gamma != 0.0 && r < 0.0) {
      c = t + r * (x - t);
    } else {
      c = t > x ? upper : lower;
    }
    const double qd = t + (dt / (dt - dx)) * (x - t);
    if (bracketed) {
      s_new = std::fabs(t - qd) > std::fabs(t - c) ? c : qd;
    } else {
      s_new = std::fabs(t - c) > std::fabs(t - qd) ? c : qd;
    }
    status = 3;
    bounded = true;
    new_best = trial;
  } else {
    // Case 4: same sign, slope not shrinking. Bracketed, interpolate between trial and other;
    // otherwise nothing useful can be interpolated, so go to the bound.
    if (bracketed) {
      if (!std::isfinite(dt) || !std::isfinite(dy)) return OptimError::condition_violated(kNonFiniteText);
      const double theta = cubic_theta(t, ft, y, fy, dy, dt);
      if (!std::isfinite(theta)) return OptimError::condition_violated(kNonFiniteText);
      double gamma = cubic_gamma(theta, dy, dt, false);
      if (t > y) gamma = -gamma;
      const double p = (gamma - dt) + theta;
      const double q = ((gamma - dt) + gamma) + dy;
      const double r = p / q;
      s_new = t + r * (y - t);
    } else {
      s_new = t > x ? upper : lower;
    }
    status = 4;
    bounded = false;
    new_best = trial;
  }

  // A NaN step (negative radicand in cases 1, 2, 4) becomes a bound here.
  s_new = max_of(min_of(s_new, upper), lower);
  if (bounded && bracketed) {
    const double b = new_best.step + kShrinkFactor * (new_other.step - new_best.step);
    s_new = new_other.step > new_best.step ? min_of(s_new, b) : max_of(s_new, b);
  }

  return StepUpdate{new_best, new_other, StepPoint{s_new, ft, dt}, bracketed, lower, upper, status};
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
      step_status_ == 0) {
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
      (bracketed_ && (t <= bounds.lower || t >= bounds.upper)) || step_status_ == 0;
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
    OptimResult<StepUpdate> r =
        cstep(StepPoint{x, best_.value - x * d, best_.slope - d},
              StepPoint{y, other_.value - y * d, other_.slope - d},
              StepPoint{t, f - t * d, dg - d}, bracketed_, bounds.lower, bounds.upper);
    if (!r) return std::move(r).error();
    const StepUpdate& u = r.value();
    best_ = StepPoint{u.best.step, u.best.value + u.best.step * d, u.best.slope + d};
    other_ = StepPoint{u.other.step, u.other.value + u.other.step * d, u.other.slope + d};
    trial_ = u.trial;
    bracketed_ = u.bracketed;
    step_status_ = u.status;
  } else {
    OptimResult<StepUpdate> r =
        cstep(best_, other_, StepPoint{t, f, dg}, bracketed_, bounds.lower, bounds.upper);
    if (!r) return std::move(r).error();
    const StepUpdate& u = r.value();
    best_ = u.best;
    other_ = u.other;
    trial_ = u.trial;
    trial_cost_ = u.trial.value;
    bracketed_ = u.bracketed;
    step_status_ = u.status;
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
