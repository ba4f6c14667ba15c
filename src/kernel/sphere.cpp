#include "kernel/sphere.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "base/stop.hpp"
#include "kernel/numbers.hpp"
#include "kernel/small_spd.hpp"

// The iteration mirrors the plane's (geometric.cpp), simpler for a sphere: points that determine
// a sphere at all never run off to a plane's infinite radius from the algebraic start, since
// coplanar points are refused first, and a cap's cost has one minimum near it. A step solves
// (J^T J + lambda D) delta = h, D the diagonal of J^T J, and is taken when the cost falls (or
// rises by no more than its rounding while the step predicts no more than that); lambda starts
// at 0 and follows the gain ratio as Nielsen has it. A run has converged when the undamped
// step's decrement is within the residuals' rounding, when it moves the centre by less than its
// own rounding, or when that decrement, already below the cost's rounding, stops falling.
namespace tondra::kit {
namespace {

constexpr double kStepRounding = 4.0;
constexpr int kIterations = 200;
constexpr double kFirstDamping = 1e-3;
constexpr double kLastDamping = 1e-6;
constexpr double kStall = 0.5;

// The cost and the normal equations at one centre of the frame, the radius eliminated. The sums
// are shifted by the first point's terms, so that their cancellation is bounded by the spread of
// the residuals rather than by the radius.
struct Normal {
  double cost;
  double r;
  Square<3> jtj;
  Vector3 h;
};

Normal evaluate(const SpacePoints& points, const SpaceFrame& frame, const Vector3& c) noexcept {
  const std::size_t n = points.size();
  double d0 = 0.0;
  Vector3 n0{};
  double se = +0.0;
  double see = +0.0;
  Vector3 sm = {+0.0, +0.0, +0.0};
  Vector3 sme = {+0.0, +0.0, +0.0};
  Square<3> smm{};
  for (auto& row : smm) row = {+0.0, +0.0, +0.0};
  for (std::size_t i = 0; i < n; ++i) {
    const Vector3 p = points.in_frame(frame, i);
    const Vector3 q = {p[0] - c[0], p[1] - c[1], p[2] - c[2]};
    const double d = std::sqrt(dot(q, q));
    const double inverse = d > 0.0 ? 1.0 / d : 0.0;
    const Vector3 unit = {q[0] * inverse, q[1] * inverse, q[2] * inverse};
    if (i == 0) {
      d0 = d;
      n0 = unit;
    }
    const double e = d - d0;
    const Vector3 m = {unit[0] - n0[0], unit[1] - n0[1], unit[2] - n0[2]};
    se += e;
    see += e * e;
    for (std::size_t r = 0; r < 3; ++r) {
      sm[r] += m[r];
      sme[r] += m[r] * e;
      for (std::size_t k = 0; k <= r; ++k) smm[r][k] += m[r] * m[k];
    }
  }
  const double count = static_cast<double>(n);
  const double mean_e = se / count;
  Normal out{};
  out.cost = std::max(see - se * mean_e, 0.0);
  out.r = d0 + mean_e;
  for (std::size_t r = 0; r < 3; ++r) {
    // h = -J^T e with J's rows -(n_i - mean n).
    out.h[r] = sme[r] - sm[r] * mean_e;
    for (std::size_t k = 0; k <= r; ++k) {
      out.jtj[r][k] = smm[r][k] - sm[r] * (sm[k] / count);
      out.jtj[k][r] = out.jtj[r][k];
    }
  }
  return out;
}

double cost_noise(const double n, const double cost) noexcept {
  return 2.0 * kTau * std::sqrt(n * cost) + n * kTau * kTau;
}

double length(const Vector3& v) noexcept { return std::sqrt(dot(v, v)); }

// The undamped step's decrement h^T M^-1 h, or +infinity where M is not positive definite.
double decrement(const Normal& at, Vector3& step) noexcept {
  if (!spd_solve<3>(at.jtj, at.h, step)) return std::numeric_limits<double>::infinity();
  return dot(step, at.h);
}

struct Run {
  Vector3 c;
  Normal at;
  std::int64_t iterations;
  bool converged;
};

Run levenberg_marquardt(const SpacePoints& points, const SpaceFrame& frame, Vector3 c) {
  const double n = static_cast<double>(points.size());
  Normal at = evaluate(points, frame, c);
  double lambda = 0.0;
  double nu = 2.0;
  double last_decrement = std::numeric_limits<double>::infinity();
  for (int iteration = 1; iteration <= kIterations; ++iteration) {
    base::poll_stop(points.size());
    if (!std::isfinite(at.cost) || !std::isfinite(at.r)) return {c, at, iteration - 1, false};
    const double noise = cost_noise(n, at.cost);
    const double step_floor = kStepRounding * kEps * (length(c) + 1.0);
    Vector3 newton{};
    const double gain = decrement(at, newton);
    if (std::isfinite(gain)) {
      const bool stalled = gain <= noise && gain >= kStall * last_decrement;
      if (gain <= n * kTau * kTau || length(newton) <= step_floor || stalled) {
        return {c, at, iteration - 1, true};
      }
      last_decrement = gain;
    }
    Square<3> damped = at.jtj;
    Vector3 diagonal{};
    const double largest = std::max({at.jtj[0][0], at.jtj[1][1], at.jtj[2][2]});
    for (std::size_t k = 0; k < 3; ++k) {
      diagonal[k] = std::max(at.jtj[k][k], 1e-12 * largest);
      damped[k][k] += lambda * diagonal[k];
    }
    Vector3 delta{};
    if (!spd_solve<3>(damped, at.h, delta)) {
      lambda = lambda == 0.0 ? kFirstDamping : lambda * nu;
      nu *= 2.0;
      continue;
    }
    if (length(delta) <= step_floor) return {c, at, iteration, true};
    const double predicted = dot(delta, at.h) + lambda * (diagonal[0] * delta[0] * delta[0] +
                                                          diagonal[1] * delta[1] * delta[1] +
                                                          diagonal[2] * delta[2] * delta[2]);
    const Vector3 trial = {c[0] + delta[0], c[1] + delta[1], c[2] + delta[2]};
    const Normal next = evaluate(points, frame, trial);
    const double actual = at.cost - next.cost;
    const bool hidden = predicted <= noise && actual >= -noise;
    if (std::isfinite(next.cost) && (actual > 0.0 || hidden)) {
      c = trial;
      at = next;
      if (lambda > 0.0) {
        const double rho = predicted > 0.0 ? actual / predicted : 1.0;
        const double t = 2.0 * rho - 1.0;
        lambda *= std::max(1.0 / 3.0, 1.0 - t * t * t);
        if (lambda < kLastDamping) lambda = 0.0;
      }
      nu = 2.0;
    } else {
      lambda = lambda == 0.0 ? kFirstDamping : lambda * nu;
      nu *= 2.0;
    }
  }
  return {c, at, kIterations, false};
}

// The algebraic centre in the frame: S c = (1/2) sum (|p_i|^2 - mean |p|^2) p_i, S the
// scatter; with the points centred, k = -mean |p|^2 and r^2 = mean |p|^2 + |c|^2.
bool algebraic(const SpacePoints& points, const SpaceFrame& frame, Vector3& c, double& r) {
  const std::size_t n = points.size();
  double square_sum = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const Vector3 p = points.in_frame(frame, i);
    square_sum += dot(p, p);
  }
  const double mean_square = square_sum / static_cast<double>(n);
  Square<3> s{};
  for (auto& row : s) row = {+0.0, +0.0, +0.0};
  Vector3 b = {+0.0, +0.0, +0.0};
  for (std::size_t i = 0; i < n; ++i) {
    const Vector3 p = points.in_frame(frame, i);
    const double w = 0.5 * (dot(p, p) - mean_square);
    for (std::size_t row = 0; row < 3; ++row) {
      b[row] += w * p[row];
      for (std::size_t k = 0; k < 3; ++k) s[row][k] += p[row] * p[k];
    }
  }
  if (!spd_solve<3>(s, b, c)) return false;
  r = std::sqrt(mean_square + dot(c, c));
  return std::isfinite(r);
}

// rms and covariance of (c, r) at a centre and radius of the frame, in the data's units.
void statistics(const SpacePoints& points, const SpaceFrame& frame, const Vector3& c,
                const double r, SphereFit& fit) {
  const std::size_t n = points.size();
  Square<4> jtj{};
  for (auto& row : jtj) row = {+0.0, +0.0, +0.0, +0.0};
  double see = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const Vector3 p = points.in_frame(frame, i);
    const Vector3 q = {p[0] - c[0], p[1] - c[1], p[2] - c[2]};
    const double d = std::sqrt(dot(q, q));
    const double inverse = d > 0.0 ? 1.0 / d : 0.0;
    const std::array<double, 4> row = {q[0] * inverse, q[1] * inverse, q[2] * inverse, 1.0};
    for (std::size_t a = 0; a < 4; ++a) {
      for (std::size_t k = 0; k < 4; ++k) jtj[a][k] += row[a] * row[k];
    }
    const double e = d - r;
    see += e * e;
  }
  fit.rms = frame.data_length(std::sqrt(see / static_cast<double>(n)));
  if (n <= 4) return;
  Square<4> inverse{};
  const double sigma2 = see / static_cast<double>(n - 4);
  const int scale = 2 * (frame.e + frame.f);
  if (!spd_inverse<4>(jtj, inverse)) {
    fit.cov.fill(std::numeric_limits<double>::infinity());
    return;
  }
  for (std::size_t a = 0; a < 4; ++a) {
    for (std::size_t k = 0; k < 4; ++k)
      fit.cov[4 * a + k] = std::ldexp(sigma2 * inverse[a][k], scale);
  }
}

}  // namespace

SphereFit fit_sphere(const SpacePoints& points, const SphereMethod method) {
  SphereFit fit;
  fit.n = static_cast<std::int64_t>(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (!std::isfinite(points.x[i]) || !std::isfinite(points.y[i]) || !std::isfinite(points.z[i])) {
      fit.status = Status::NotFinite;
      return fit;
    }
  }
  if (points.size() < 4) {
    fit.status = Status::TooFew;
    return fit;
  }
  const std::optional<SpaceFrame> frame = space_frame(points);
  if (!frame) {
    fit.status = Status::Coincident;
    return fit;
  }
  const PrincipalAxes axes = principal_axes(points, *frame);
  Vector3 c{};
  double r = 0.0;
  if (flat(rms_off_plane(points, *frame, axes), *frame) || !algebraic(points, *frame, c, r)) {
    fit.status = Status::Coplanar;
    return fit;
  }
  if (method == SphereMethod::Geometric) {
    const Run run = levenberg_marquardt(points, *frame, c);
    c = run.c;
    r = run.at.r;
    fit.iterations = run.iterations;
    fit.converged = run.converged;
  } else {
    const Normal at = evaluate(points, *frame, c);
    Vector3 step{};
    fit.converged = decrement(at, step) <= cost_noise(static_cast<double>(points.size()), at.cost);
  }
  for (int k = 0; k < 3; ++k)
    fit.centre[static_cast<std::size_t>(k)] = frame->to_data(c[static_cast<std::size_t>(k)], k);
  fit.r = frame->data_length(r);
  if (!std::isfinite(fit.centre[0]) || !std::isfinite(fit.centre[1]) ||
      !std::isfinite(fit.centre[2]) || !std::isfinite(fit.r)) {
    fit.status = Status::NoFiniteCircle;
    return fit;
  }
  statistics(points, *frame, c, r, fit);
  return fit;
}

}  // namespace tondra::kit
