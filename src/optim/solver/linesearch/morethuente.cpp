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
    const double b = new_best.step + 0.66 * (new_other.step - new_best.step);
    s_new = new_other.step > new_best.step ? min_of(s_new, b) : max_of(s_new, b);
  }

  return StepUpdate{new_best, new_other, StepPoint{s_new, ft, dt}, bracketed, lower, upper, status};
}

}  // namespace tondra::optim
