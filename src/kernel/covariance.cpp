#include "kernel/covariance.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <optional>

#include "kernel/centre_problem.hpp"
#include "kernel/numbers.hpp"
#include "kernel/unit_frame.hpp"

namespace tondra::kit {
namespace {

std::array<double, 9> all_nan() {
  std::array<double, 9> out;
  out.fill(kNaN);
  return out;
}

}  // namespace

std::array<double, 9> cofactor_covariance(const double see, const DirectionSums& s,
                                          const std::size_t count) {
  const double n = static_cast<double>(count);
  const double c00 = s.svv * n - s.sv * s.sv;
  const double c01 = s.su * s.sv - s.suv * n;
  const double c02 = s.suv * s.sv - s.su * s.svv;
  const double c11 = s.suu * n - s.su * s.su;
  const double c12 = s.suv * s.su - s.suu * s.sv;
  const double c22 = s.suu * s.svv - s.suv * s.suv;
  const double det = s.suu * c00 + s.suv * c01 + s.su * c02;
  const double sigma2 = count > 3 ? see / (n - 3.0) : see * kNaN;
  const double k = sigma2 / det;
  const double k00 = k * c00;
  const double k01 = k * c01;
  const double k02 = k * c02;
  const double k11 = k * c11;
  const double k12 = k * c12;
  const double k22 = k * c22;
  return {k00, k01, k02, k01, k11, k12, k02, k12, k22};
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
    cov[0] = cov[4] = cov[8] = kInfinity;
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
