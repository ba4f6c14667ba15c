#include "kit/convergence.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>

#include "base/fault.hpp"
#include "kit/centre_problem.hpp"
#include "kit/unit_frame.hpp"

namespace tondra::kit {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kTwoPi = 2.0 * std::numbers::pi;
// The Gauss-Newton step at a minimum is rounding, about eps times the condition of J^T J in the
// frame; this bound leaves room for the short arcs' large conditions (a 1 degree arc's fitted
// centre shows steps near 1e-11 of its distance) and is far below where an optimiser that stops
// on a small gradient leaves a short arc's centre.
constexpr double kMinimumStep = 1e-8;
// The Jacobian's rounding, in units of eps times its norm (see is_least_squares_minimum).
constexpr double kJacobianRounding = 8.0;
constexpr double kEps = std::numeric_limits<double>::epsilon();
// Negative curvature below this fraction of the largest is rounding, not a saddle.
constexpr double kNegativeCurvature = 1e-9;

std::array<double, 9> all_nan() {
  std::array<double, 9> out;
  out.fill(kNaN);
  return out;
}

}  // namespace

bool is_least_squares_minimum(const std::span<const double> x, const std::span<const double> y,
                              const double cx, const double cy) {
  const std::optional<UnitFrame> frame = unit_frame(x, y);
  if (!frame || x.size() < 3 || !std::isfinite(cx) || !std::isfinite(cy)) return false;
  const double a = frame->frame_u(cx);
  const double b = frame->frame_v(cy);
  if (!std::isfinite(a) || !std::isfinite(b)) return false;
  const CentreProblem problem(*frame, x, y);
  const CentreNormal at = problem.evaluate(a, b);
  if (!std::isfinite(at.cost) || !std::isfinite(at.r)) return false;

  const std::array<double, 3> h = problem.hessian(a, b, at);
  const double mean = 0.5 * (h[0] + h[2]);
  const double radius = std::hypot(0.5 * (h[0] - h[2]), h[1]);
  if (mean - radius < -kNegativeCurvature * (std::fabs(mean) + radius)) return false;

  std::array<double, 2> step{};
  if (!solve_spd2(at.jtj, at.h, step)) return false;
  const double length = std::sqrt(step[0] * step[0] + step[1] * step[1]);
  // What rounding alone leaves in the step: J's elements carry an error of order eps of their
  // size, which puts up to eps |J| |e| into h, and M^-1 (no larger than its trace,
  // (M00 + M11) / det M) magnifies that. Far-off centres of short noisy arcs are determined no
  // better than this, whatever the method.
  const double trace = at.jtj[0] + at.jtj[2];
  const double det = at.jtj[0] * at.jtj[2] - at.jtj[1] * at.jtj[1];
  const double rounding = kJacobianRounding * kEps * std::sqrt(trace * at.cost) * (trace / det);
  return length <= std::max(kMinimumStep * (1.0 + std::sqrt(a * a + b * b)), rounding);
}

double arc_coverage(const std::span<const double> x, const std::span<const double> y,
                    const double cx, const double cy, std::vector<double>& scratch) {
  if (x.size() != y.size()) base::fault("assertion failed: x.len() == y.len()");
  if (!std::isfinite(cx) || !std::isfinite(cy)) return kNaN;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!std::isfinite(x[i]) || !std::isfinite(y[i])) return kNaN;
  }
  const std::optional<UnitFrame> frame = unit_frame(x, y);
  if (!frame) return 0.0;  // no points, or all equal: one direction at most
  // Directions from the frame's differences: exact scaling, and no overflow in x - cx.
  const double a = frame->frame_u(cx);
  const double b = frame->frame_v(cy);
  scratch.clear();
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double du = frame->frame_u(x[i]) - a;
    const double dv = frame->frame_v(y[i]) - b;
    if (du == 0.0 && dv == 0.0) continue;  // at the centre: no direction
    scratch.push_back(std::atan2(dv, du));
  }
  if (scratch.size() < 2) return 0.0;
  std::sort(scratch.begin(), scratch.end());
  if (scratch.back() == scratch.front()) return 0.0;
  double largest_gap = (scratch.front() + kTwoPi) - scratch.back();
  for (std::size_t i = 1; i < scratch.size(); ++i) {
    largest_gap = std::max(largest_gap, scratch[i] - scratch[i - 1]);
  }
  return std::clamp(kTwoPi - largest_gap, 0.0, kTwoPi);
}

ScaledCovariance covariance_at_scaled(const std::span<const double> x,
                                      const std::span<const double> y, const double cx,
                                      const double cy, const double r, const bool converged) {
  const ScaledCovariance none = {all_nan(), 0};
  if (!converged || x.size() <= 3) return none;
  const std::optional<UnitFrame> frame = unit_frame(x, y);
  if (!frame || !std::isfinite(cx) || !std::isfinite(cy) || !std::isfinite(r)) return none;
  const int exponent = frame->e + frame->f;
  const double a = frame->frame_u(cx);
  const double b = frame->frame_v(cy);
  const double radius = std::ldexp(r, -exponent);
  if (!std::isfinite(a) || !std::isfinite(b)) return none;

  const CentreProblem problem(*frame, x, y);
  const CentreNormal at = problem.evaluate(a, b);
  // The mean direction, m.
  double su = +0.0;
  double sv = +0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double du = problem.u(i) - a;
    const double dv = problem.v(i) - b;
    const double d = std::sqrt(du * du + dv * dv);
    if (!(d > 0.0)) continue;
    su += du / d;
    sv += dv / d;
  }
  const double n = static_cast<double>(x.size());
  const double m0 = su / n;
  const double m1 = sv / n;
  // sum (d_i - r)^2 = sum (d_i - mean d)^2 + n (mean d - r)^2.
  const double offset = at.r - radius;
  const double sigma2 = (at.cost + n * (offset * offset)) / (n - 3.0);
  if (!std::isfinite(sigma2)) return none;

  std::array<double, 9> cov;
  const double p0 = at.jtj[0];
  const double l = p0 > 0.0 ? at.jtj[1] / p0 : kNaN;
  const double p1 = at.jtj[2] - l * at.jtj[1];
  if (!(p0 > 0.0) || !(p1 > 0.0)) {
    cov.fill(kNaN);
    cov[0] = cov[4] = cov[8] = kInf;
    return {cov, exponent};
  }
  // A^-1 = L^-T diag(1/p0, 1/p1) L^-1 with L^-1 = [[1, 0], [-l, 1]].
  const double i00 = 1.0 / p0 + (l * l) / p1;
  const double i01 = -l / p1;
  const double i11 = 1.0 / p1;
  const double w0 = i00 * m0 + i01 * m1;  // A^-1 m
  const double w1 = i01 * m0 + i11 * m1;
  const double y1 = m1 - l * m0;  // m^T A^-1 m = m0^2 / p0 + y1^2 / p1
  const double quadratic = (m0 * m0) / p0 + (y1 * y1) / p1;
  cov = {sigma2 * i00, sigma2 * i01, -sigma2 * w0,
         sigma2 * i01, sigma2 * i11, -sigma2 * w1,
         -sigma2 * w0, -sigma2 * w1, sigma2 * (1.0 / n + quadratic)};
  return {cov, exponent};
}

std::array<double, 9> covariance_at(const std::span<const double> x,
                                    const std::span<const double> y, const double cx,
                                    const double cy, const double r, const bool converged) {
  const ScaledCovariance scaled = covariance_at_scaled(x, y, cx, cy, r, converged);
  std::array<double, 9> out;
  for (std::size_t k = 0; k < 9; ++k) out[k] = std::ldexp(scaled.cov[k], 2 * scaled.exponent);
  return out;
}

}  // namespace tondra::kit
