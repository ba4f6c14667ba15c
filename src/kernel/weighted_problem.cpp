#include "kernel/weighted_problem.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "base/fault.hpp"
#include "kernel/numbers.hpp"
#include "kernel/plane_length.hpp"

namespace tondra::kit::weighted {
namespace {

// Covariances in the frame are given in the data's units when the scale is no larger than this
// power of two, so that they are doubles there.
constexpr int kPlainCovarianceExponent = 200;

}  // namespace

double distance_of(const Centre& c) noexcept { return plane_length(c.a, c.b); }

Problem::Problem(WeightedScratch& s, const double lo, const double hi) : s_(s), lo_(lo), hi_(hi) {
  double sum = +0.0;
  for (const double w : s_.w) sum += w;
  weight_sum_ = sum;
}

Normal Problem::evaluate(const Centre& c, std::array<double, 3>* hessian) const noexcept {
  const std::size_t n = size();
  double* d = s_.d.data();
  double* delta = s_.delta.data();
  double* gu = s_.nu.data();
  double* gv = s_.nv.data();
  const double* u = s_.u.data();
  const double* v = s_.v.data();
  const double* w = s_.w.data();
  const double centre_distance = std::sqrt(c.a * c.a + c.b * c.b);
  const double inverse_centre = centre_distance > 0.0 ? 1.0 / centre_distance : 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double du = u[i] - c.a;
    const double dv = v[i] - c.b;
    d[i] = std::sqrt(du * du + dv * dv);
    // d_i - |c| and n_i + c / |c| without the difference of two lengths of the size of |c|
    // (the frame's points lie near its origin); a point at the centre has no direction.
    const double sum = d[i] + centre_distance;
    const double numerator = (u[i] * u[i] + v[i] * v[i]) - 2.0 * (u[i] * c.a + v[i] * c.b);
    delta[i] = sum > 0.0 ? numerator / sum : 0.0;
    const double inverse_d = d[i] > 0.0 ? 1.0 / d[i] : 0.0;
    const double shift = delta[i] * inverse_centre;
    gu[i] = d[i] > 0.0 ? (u[i] + c.a * shift) * inverse_d : c.a * inverse_centre;
    gv[i] = d[i] > 0.0 ? (v[i] + c.b * shift) * inverse_d : c.b * inverse_centre;
  }
  double swd = +0.0, swu = +0.0, swv = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    swd += w[i] * delta[i];
    swu += w[i] * gu[i];
    swv += w[i] * gv[i];
  }
  const double mean_delta = swd / weight_sum_;
  const double free_r = centre_distance + mean_delta;
  Normal out{};
  out.r = std::min(std::max(free_r, lo_), hi_);
  out.held = out.r != free_r;
  // The residuals e_i = delta_i - (r - |c|), and the Jacobian's rows j_i (negated): n_i less
  // their weighted mean where r is free, n_i itself where it is held.
  const double offset = out.held ? out.r - centre_distance : mean_delta;
  const double mean_gu = out.held ? c.a * inverse_centre : swu / weight_sum_;
  const double mean_gv = out.held ? c.b * inverse_centre : swv / weight_sum_;
  out.mean = out.held ? std::array<double, 2>{0.0, 0.0}
                      : std::array<double, 2>{mean_gu - c.a * inverse_centre,
                                              mean_gv - c.b * inverse_centre};
  double cost = +0.0, saa = +0.0, sab = +0.0, sbb = +0.0, ha = +0.0, hb = +0.0;
  double kaa = +0.0, kab = +0.0, kbb = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double e = delta[i] - offset;
    const double ja = gu[i] - mean_gu;
    const double jb = gv[i] - mean_gv;
    const double we = w[i] * e;
    cost += we * e;
    saa += w[i] * (ja * ja);
    sab += w[i] * (ja * jb);
    sbb += w[i] * (jb * jb);
    ha += we * ja;
    hb += we * jb;
    if (hessian != nullptr && d[i] > 0.0) {
      // The curvature of d_i, (I - n_i n_i^T) / d_i, weighted by w_i e_i.
      const double nu = gu[i] - c.a * inverse_centre;
      const double nv = gv[i] - c.b * inverse_centre;
      const double k = we / d[i];
      kaa += k * (nv * nv);
      kab -= k * (nu * nv);
      kbb += k * (nu * nu);
    }
  }
  out.cost = cost;
  out.jtj = {saa, sab, sbb};
  out.h = {ha, hb};
  if (hessian != nullptr) *hessian = {saa + kaa, sab + kab, sbb + kbb};
  return out;
}

UnitFrame prepare(std::span<const double> x, std::span<const double> y, std::span<const double> w,
                  WeightedScratch& s) {
  base::check(x.size() == y.size() && x.size() == w.size(), "x, y and w equally long");
  const std::optional<UnitFrame> frame = unit_frame(x, y);
  if (!frame) base::fault("weighted fit of points without a frame");
  const std::size_t n = x.size();
  double largest = 0.0;
  for (const double v : w) largest = std::max(largest, v);
  if (!(largest > 0.0) || !std::isfinite(largest)) base::fault("weights not positive and finite");
  s.u.resize(n);
  s.v.resize(n);
  s.d.resize(n);
  s.nu.resize(n);
  s.delta.resize(n);
  s.nv.resize(n);
  if (s.w.data() != w.data()) s.w.assign(w.begin(), w.end());
  for (std::size_t i = 0; i < n; ++i) {
    s.u[i] = frame->frame_u(x[i]);
    s.v[i] = frame->frame_v(y[i]);
    s.w[i] = s.w[i] / largest;
  }
  return *frame;
}

WeightedCircle describe(const UnitFrame& frame, const Problem& problem, const Centre& c,
                        const Normal& at) {
  WeightedCircle out{};
  const double n = static_cast<double>(problem.size());
  const double weight_sum = problem.weight_sum();
  out.cx = frame.data_x(c.a);
  out.cy = frame.data_y(c.b);
  out.r = frame.data_length(at.r);
  out.rms = frame.data_length(std::sqrt(at.cost / weight_sum));
  out.held = at.held;
  // s^2 A^-1 with A the centred (or, held, the plain) direction sums; the radius's variance
  // from the Schur complement: Var r = s^2 (1/W + m^T A^-1 m), Cov(c, r) = -s^2 A^-1 m.
  const double parameters = at.held ? 2.0 : 3.0;
  const double s2 = n > parameters ? at.cost / (n - parameters) : kNaN;
  const auto& a = at.jtj;
  const double det = a[0] * a[2] - a[1] * a[1];
  const double i00 = s2 * (a[2] / det);
  const double i01 = s2 * (-a[1] / det);
  const double i11 = s2 * (a[0] / det);
  const double m0 = at.mean[0];
  const double m1 = at.mean[1];
  const double c02 = at.held ? 0.0 : -(i00 * m0 + i01 * m1);
  const double c12 = at.held ? 0.0 : -(i01 * m0 + i11 * m1);
  const double c22 = at.held ? 0.0 : s2 / weight_sum + (m0 * -c02 + m1 * -c12);
  out.cov = {i00, i01, c02, i01, i11, c12, c02, c12, c22};
  const int k = frame.e + frame.f;
  if (std::abs(k) <= kPlainCovarianceExponent) {
    for (double& v : out.cov) v = std::ldexp(v, 2 * k);
    out.cov_exponent = 0;
  } else {
    out.cov_exponent = k;
  }
  return out;
}

FrameMoments moments(const WeightedScratch& s, const double weight_sum) {
  const std::size_t n = s.u.size();
  FrameMoments m{};
  m.n = n;
  double su = +0.0, sv = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    su += s.w[i] * s.u[i];
    sv += s.w[i] * s.v[i];
  }
  m.mean_u = su / weight_sum;
  m.mean_v = sv / weight_sum;
  double uu = +0.0, vv = +0.0, uv = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double u = s.u[i] - m.mean_u;
    const double v = s.v[i] - m.mean_v;
    uu += s.w[i] * (u * u);
    vv += s.w[i] * (v * v);
    uv += s.w[i] * (u * v);
  }
  m.muu = uu / weight_sum;
  m.mvv = vv / weight_sum;
  m.muv = uv / weight_sum;
  const double mz = m.muu + m.mvv;
  double uz = +0.0, vz = +0.0, zz = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double u = s.u[i] - m.mean_u;
    const double v = s.v[i] - m.mean_v;
    const double z = (u * u + v * v) - mz;
    uz += s.w[i] * (u * z);
    vz += s.w[i] * (v * z);
    zz += s.w[i] * (z * z);
  }
  m.muz = uz / weight_sum;
  m.mvz = vz / weight_sum;
  m.var_z = zz / weight_sum;
  return m;
}

}  // namespace tondra::kit::weighted
