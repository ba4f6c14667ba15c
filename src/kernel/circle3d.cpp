#include "kernel/circle3d.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

#include "base/stop.hpp"
#include "kernel/arc_coverage.hpp"
#include "kernel/geometric.hpp"
#include "kernel/numbers.hpp"
#include "kernel/small_spd.hpp"

namespace tondra::kit {
namespace {

constexpr double kStepRounding = 4.0;
// Nearly straight noisy arcs leave the plane's tilt weakly determined, and Gauss-Newton then
// converges slowly (hundreds of steps on 5 degree arcs with 1 % noise); others take about 10.
constexpr int kIterations = 2000;
constexpr double kFirstDamping = 1e-3;
constexpr double kLastDamping = 1e-6;
constexpr double kStall = 0.5;
constexpr std::size_t kParameters = 6;  // c (3), the normal's tilt (2), r
using Vector6 = std::array<double, kParameters>;

Vector3 cross(const Vector3& a, const Vector3& b) noexcept {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

Vector3 unit(const Vector3& v) noexcept {
  const double length = std::sqrt(dot(v, v));
  return {v[0] / length, v[1] / length, v[2] / length};
}

// Two unit vectors that make a right-handed orthonormal basis with the unit normal.
std::array<Vector3, 2> tangents(const Vector3& normal) noexcept {
  // The axis least aligned with the normal keeps the cross product well away from 0.
  std::size_t k = 0;
  for (std::size_t j = 1; j < 3; ++j) {
    if (std::fabs(normal[j]) < std::fabs(normal[k])) k = j;
  }
  Vector3 axis{};
  axis[k] = 1.0;
  const Vector3 t1 = unit(cross(normal, axis));
  return {t1, cross(normal, t1)};
}

struct Circle {
  Vector3 c;
  Vector3 normal;
  double r;
};

// The cost sum (rho_i - r)^2 + h_i^2, J^T J and h = -J^T e, residuals in pairs.
struct Normal {
  double cost;
  Square<kParameters> jtj;
  Vector6 h;
};

Normal evaluate(const SpacePoints& points, const SpaceFrame& frame, const Circle& circle) noexcept {
  const auto [t1, t2] = tangents(circle.normal);
  Normal out{};
  out.cost = +0.0;
  for (auto& row : out.jtj) row.fill(+0.0);
  out.h.fill(+0.0);
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Vector3 p = points.in_frame(frame, i);
    const Vector3 q = {p[0] - circle.c[0], p[1] - circle.c[1], p[2] - circle.c[2]};
    const double height = dot(q, circle.normal);
    const Vector3 s = {q[0] - height * circle.normal[0], q[1] - height * circle.normal[1],
                       q[2] - height * circle.normal[2]};
    const double rho = std::sqrt(dot(s, s));
    const double inverse = rho > 0.0 ? 1.0 / rho : 0.0;
    const double q1 = dot(q, t1);
    const double q2 = dot(q, t2);
    // Rows of -J: the radial residual rho - r and the height h.
    const Vector6 radial = {s[0] * inverse,        s[1] * inverse,        s[2] * inverse,
                            height * q1 * inverse, height * q2 * inverse, 1.0};
    const Vector6 axial = {circle.normal[0], circle.normal[1], circle.normal[2], -q1, -q2, 0.0};
    const double e_radial = rho - circle.r;
    out.cost += e_radial * e_radial + height * height;
    for (std::size_t a = 0; a < kParameters; ++a) {
      out.h[a] += radial[a] * e_radial + axial[a] * height;
      for (std::size_t k = 0; k <= a; ++k) {
        out.jtj[a][k] += radial[a] * radial[k] + axial[a] * axial[k];
      }
    }
  }
  for (std::size_t a = 0; a < kParameters; ++a) {
    for (std::size_t k = 0; k < a; ++k) out.jtj[k][a] = out.jtj[a][k];
  }
  return out;
}

Circle moved(const Circle& circle, const Vector6& delta) noexcept {
  const auto [t1, t2] = tangents(circle.normal);
  Circle out = circle;
  for (std::size_t k = 0; k < 3; ++k) {
    out.c[k] += delta[k];
    out.normal[k] += delta[3] * t1[k] + delta[4] * t2[k];
  }
  out.normal = unit(out.normal);
  out.r += delta[5];
  return out;
}

double cost_noise(const double n, const double cost) noexcept {
  return 2.0 * kTau * std::sqrt(n * cost) + n * kTau * kTau;
}

double norm(const Vector6& v) noexcept {
  double sum = +0.0;
  for (const double x : v) sum += x * x;
  return std::sqrt(sum);
}

double inner(const Vector6& a, const Vector6& b) noexcept {
  double sum = +0.0;
  for (std::size_t k = 0; k < kParameters; ++k) sum += a[k] * b[k];
  return sum;
}

struct Run {
  Circle circle;
  std::int64_t iterations;
  bool converged;
};

// Levenberg-Marquardt as for the sphere (sphere.cpp), on the residual pairs.
Run levenberg_marquardt(const SpacePoints& points, const SpaceFrame& frame, Circle circle) {
  const double n = 2.0 * static_cast<double>(points.size());
  Normal at = evaluate(points, frame, circle);
  double lambda = 0.0;
  double nu = 2.0;
  double last_decrement = std::numeric_limits<double>::infinity();
  for (int iteration = 1; iteration <= kIterations; ++iteration) {
    base::poll_stop(points.size());
    if (!std::isfinite(at.cost)) return {circle, iteration - 1, false};
    const double noise = cost_noise(n, at.cost);
    const double scale = std::sqrt(dot(circle.c, circle.c)) + std::fabs(circle.r) + 1.0;
    const double step_floor = kStepRounding * kEps * scale;
    Vector6 newton{};
    if (spd_solve<kParameters>(at.jtj, at.h, newton)) {
      const double gain = inner(newton, at.h);
      const bool stalled = gain <= noise && gain >= kStall * last_decrement;
      if (gain <= n * kTau * kTau || norm(newton) <= step_floor || stalled) {
        return {circle, iteration - 1, true};
      }
      last_decrement = gain;
    }
    Square<kParameters> damped = at.jtj;
    Vector6 diagonal{};
    double largest = 0.0;
    for (std::size_t k = 0; k < kParameters; ++k) largest = std::max(largest, at.jtj[k][k]);
    for (std::size_t k = 0; k < kParameters; ++k) {
      diagonal[k] = std::max(at.jtj[k][k], 1e-12 * largest);
      damped[k][k] += lambda * diagonal[k];
    }
    Vector6 delta{};
    if (!spd_solve<kParameters>(damped, at.h, delta)) {
      lambda = lambda == 0.0 ? kFirstDamping : lambda * nu;
      nu *= 2.0;
      continue;
    }
    if (norm(delta) <= step_floor) return {circle, iteration, true};
    double predicted = inner(delta, at.h);
    for (std::size_t k = 0; k < kParameters; ++k) {
      predicted += lambda * diagonal[k] * delta[k] * delta[k];
    }
    const Circle trial = moved(circle, delta);
    const Normal next = evaluate(points, frame, trial);
    const double actual = at.cost - next.cost;
    const bool hidden = predicted <= noise && actual >= -noise;
    if (std::isfinite(next.cost) && (actual > 0.0 || hidden)) {
      circle = trial;
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
  return {circle, kIterations, false};
}

// rms, covariance and arc at a circle of the frame, in the data's units.
void statistics(const SpacePoints& points, const SpaceFrame& frame, const Circle& circle,
                std::vector<double>& scratch, Circle3dFit& fit) {
  const std::size_t n = points.size();
  const Normal at = evaluate(points, frame, circle);
  fit.rms = frame.data_length(std::sqrt(at.cost / static_cast<double>(n)));
  const auto [t1, t2] = tangents(circle.normal);
  std::vector<double> u(n);
  std::vector<double> w(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Vector3 p = points.in_frame(frame, i);
    const Vector3 q = {p[0] - circle.c[0], p[1] - circle.c[1], p[2] - circle.c[2]};
    u[i] = dot(q, t1);
    w[i] = dot(q, t2);
  }
  fit.arc = arc_coverage(u, w, 0.0, 0.0, scratch);
  if (n <= 3) return;
  Square<kParameters> inverse{};
  if (!spd_inverse<kParameters>(at.jtj, inverse)) {
    fit.cov.fill(std::numeric_limits<double>::infinity());
    return;
  }
  const double sigma2 = at.cost / static_cast<double>(2 * n - kParameters);
  const int scale = 2 * (frame.e + frame.f);
  constexpr std::array<std::size_t, 4> kKept = {0, 1, 2, 5};
  for (std::size_t a = 0; a < 4; ++a) {
    for (std::size_t k = 0; k < 4; ++k) {
      fit.cov[4 * a + k] = std::ldexp(sigma2 * inverse[kKept[a]][kKept[k]], scale);
    }
  }
}

}  // namespace

Circle3dFit fit_circle3d(const SpacePoints& points, const Circle3dMethod method,
                         std::vector<double>& scratch) {
  Circle3dFit fit;
  const std::size_t n = points.size();
  fit.n = static_cast<std::int64_t>(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(points.x[i]) || !std::isfinite(points.y[i]) || !std::isfinite(points.z[i])) {
      fit.status = Status::NotFinite;
      return fit;
    }
  }
  if (n < 3) {
    fit.status = Status::TooFew;
    return fit;
  }
  const std::optional<SpaceFrame> frame = space_frame(points);
  if (!frame) {
    fit.status = Status::Coincident;
    return fit;
  }
  const PrincipalAxes axes = principal_axes(points, *frame);
  if (flat(rms_off_line(points, *frame, axes), *frame)) {
    fit.status = Status::Collinear;
    return fit;
  }
  // The projected circle: in-plane coordinates along the two strong axes.
  const Vector3& a1 = axes.vectors[2];
  const Vector3& a2 = axes.vectors[1];
  std::vector<double> u(n);
  std::vector<double> w(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Vector3 p = points.in_frame(*frame, i);
    u[i] = dot(p, a1);
    w[i] = dot(p, a2);
  }
  const GeometricFit plane = geometric_fit(u, w);
  fit.iterations = plane.iterations;
  fit.converged = plane.converged;
  if (plane.line_like) {
    fit.status = Status::LineLike;
    return fit;
  }
  Circle circle{{plane.cx * a1[0] + plane.cy * a2[0], plane.cx * a1[1] + plane.cy * a2[1],
                 plane.cx * a1[2] + plane.cy * a2[2]},
                axes.vectors[0],
                plane.r};
  if (method == Circle3dMethod::Geometric && std::isfinite(plane.r)) {
    const Run run = levenberg_marquardt(points, *frame, circle);
    circle = run.circle;
    fit.iterations += run.iterations;
    fit.converged = fit.converged && run.converged;
  }
  std::size_t largest = 0;
  for (std::size_t k = 1; k < 3; ++k) {
    if (std::fabs(circle.normal[k]) > std::fabs(circle.normal[largest])) largest = k;
  }
  const double sign = circle.normal[largest] < 0.0 ? -1.0 : 1.0;
  for (std::size_t k = 0; k < 3; ++k) {
    fit.centre[k] = frame->to_data(circle.c[k], static_cast<int>(k));
    fit.normal[k] = sign * circle.normal[k];
  }
  fit.r = frame->data_length(circle.r);
  if (!std::isfinite(fit.centre[0]) || !std::isfinite(fit.centre[1]) ||
      !std::isfinite(fit.centre[2]) || !std::isfinite(fit.r)) {
    fit.status = Status::NoFiniteCircle;
    return fit;
  }
  statistics(points, *frame, circle, scratch, fit);
  return fit;
}

}  // namespace tondra::kit
