#include "kernel/hyper.hpp"

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "base/fault.hpp"
#include "base/result.hpp"
#include "kernel/numbers.hpp"
#include "linalg/array.hpp"
#include "linalg/svd.hpp"

namespace tondra::kit {
namespace {

constexpr AlgebraicCircle kNoCircle = {kNaN, kNaN, kNaN, false};
// Newton's method from 0 reaches the root in a handful of steps; it stops as soon as a step no
// longer shrinks |p(eta)|, so this bound only ends a run that would not stop by itself.
constexpr int kNewtonSteps = 100;
// A smallest singular value below this fraction of the largest means the points lie on a circle
// to rounding: the decomposition's null vector is then the fit (Taubin's and Hyper's agree to
// this fraction squared), and the scaling by its inverse below would lose everything to it.
constexpr double kExactCircle = 0x1p-52;

enum class Constraint { Taubin, Hyper };

AlgebraicCircle in_data(const UnitFrame& frame, const AlgebraicCircle& c) {
  if (!c.ok) return kNoCircle;
  const AlgebraicCircle out = {frame.data_x(c.cx), frame.data_y(c.cy), frame.data_length(c.r),
                               true};
  if (!std::isfinite(out.cx) || !std::isfinite(out.cy) || !std::isfinite(out.r)) return kNoCircle;
  return out;
}

// The circle of the root eta (see the header), in the frame. Assumes m.n >= 3.
AlgebraicCircle circle_of_root(const FrameMoments& m, const double eta,
                               const Constraint constraint) {
  const double mz = m.muu + m.mvv;
  const double det = eta * eta - mz * eta + (m.muu * m.mvv - m.muv * m.muv);
  const double xc = (m.muz * (m.mvv - eta) - m.mvz * m.muv) / (2.0 * det);
  const double yc = (m.mvz * (m.muu - eta) - m.muz * m.muv) / (2.0 * det);
  const double offset = constraint == Constraint::Hyper ? mz - 2.0 * eta : mz;
  const double r_squared = xc * xc + yc * yc + offset;
  if (!std::isfinite(xc) || !std::isfinite(yc) || !(r_squared > 0.0) || !std::isfinite(r_squared)) {
    return kNoCircle;
  }
  return {xc + m.mean_u, yc + m.mean_v, std::sqrt(r_squared), true};
}

// The characteristic polynomial p(eta) = -det(M - eta N) with the moments centred (so that the
// constant row of M is (Mz, 0, 0, 1)). Eliminating D leaves a 3 x 3 determinant,
//   -det = -(Q(eta) P(eta) + R(eta)),  P as in the header,
//   R = eta (Mxz^2 + Myz^2) - (Mxz^2 Myy - 2 Mxz Mxy Myz + Myz^2 Mxx),
//   Q = Var z - 4 Mz eta (Taubin),  Var z - 4 Mz eta - 4 eta^2 (Hyper).
// Expanded: Taubin's cubic 4 Mz eta^3 - (3 Mz^2 + Mzz) eta^2 + c1 eta + c0 and Hyper's quartic
// 4 eta^4 + (4 Cov - 3 Mz^2 - Mzz) eta^2 + c1 eta + c0, with Cov = Mxx Myy - Mxy^2,
// c1 = Var z Mz + 4 Cov Mz - Mxz^2 - Myz^2, c0 = Mxz^2 Myy - 2 Mxz Mxy Myz + Myz^2 Mxx - Var z Cov
// = -det M <= 0. Mzz is written Var z + Mz^2 so that no coefficient needs the cancelling
// difference Mzz - Mz^2 (Var z is summed from centred z).
//
// From eta = 0, where p <= 0 and p rises, Newton's steps climb to the smallest positive root; a
// step that does not shrink |p|, or would leave eta >= 0, ends the run at the last point (the
// root to rounding, or a polynomial the steps cannot follow, which the centre's own checks then
// judge).
AlgebraicCircle newton_fit(const FrameMoments& m, const Constraint constraint) {
  if (m.n < 3) return kNoCircle;
  const double mz = m.muu + m.mvv;
  const double cov = m.muu * m.mvv - m.muv * m.muv;
  const double mzz = m.var_z + mz * mz;
  const double c1 = m.var_z * mz + 4.0 * cov * mz - m.muz * m.muz - m.mvz * m.mvz;
  const double c0 = m.muz * (m.muz * m.mvv - m.mvz * m.muv) +
                    m.mvz * (m.mvz * m.muu - m.muz * m.muv) - m.var_z * cov;
  const bool hyper = constraint == Constraint::Hyper;
  const double c4 = hyper ? 4.0 : 0.0;
  const double c3 = hyper ? 0.0 : 4.0 * mz;
  const double c2 = hyper ? 4.0 * cov - 3.0 * mz * mz - mzz : -(3.0 * mz * mz + mzz);

  // c0 = -det M is never positive but for rounding, when the points lie on a circle: 0 is then
  // the root. No step leaves [0, infinity) for the same reason.
  double eta = 0.0;
  double p = c0;
  for (int step = 0; step < kNewtonSteps && p < 0.0; ++step) {
    const double slope = c1 + eta * (2.0 * c2 + eta * (3.0 * c3 + eta * (4.0 * c4)));
    const double next = eta - p / slope;
    if (!(next >= 0.0) || !std::isfinite(next)) break;
    const double p_next = c0 + next * (c1 + next * (c2 + next * (c3 + next * c4)));
    if (!(std::fabs(p_next) < std::fabs(p))) break;
    eta = next;
    p = p_next;
  }
  return circle_of_root(m, eta, constraint);
}

// Hyper's fit by decomposition, in the frame. With the coordinates centred and z = u^2 + v^2,
// r0^2 = mean z, the circle is written
//   p0 (z - mean z) / (2 r0) + p1 u + p2 v + p3 r0 = 0,
// so that the data matrix has the columns w = (z - mean z) / (2 r0), u, v and the constant r0,
// of comparable norms, and Hyper's constraint becomes p0^2 + 2 p0 p3 + p1^2 + p2^2 = 1, free of
// the data: N = [[I3, e0], [e0^T, 0]] in (p0, p1, p2 | p3). (Taubin's would be p0^2 + p1^2 + p2^2,
// whose optimum is the null vector of [w u v]: the module's taubin_svd.)
//
// The constant column is orthogonal to the other three (they have mean 0), so one SVD of the
// n x 3 matrix [w u v] = U S V^T gives the whole moment matrix: singular values s0 >= s1 >= s2
// and s3 = r0 sqrt(n), right singular vectors v0, v1, v2 and e3. In the coordinates
// b = diag(s) V^T p the algebraic distance is |b|^2 and the constraint b^T K b with
//   K = diag(1/s) G diag(1/s),  G = V^T N V = [[I3, a], [a^T, 0]],  a_i = (v_i)_0.
// Minimising |b|^2 under b^T K b = 1 takes the eigenvector of K's largest eigenvalue (the
// smallest positive eta, as eta = 1 / eigenvalue). K has one negative eigenvalue, so K + c I
// with c at least its spectral radius (the largest absolute row sum) is positive semidefinite
// and that eigenvector is its first right singular vector: a second, 4 x 4, decomposition.
// Then p = V diag(1/s) b, and
//   centre (-p1 r0 / p0, -p2 r0 / p0),  R = r0 sqrt(p0^2 + p1^2 + p2^2 - 2 p0 p3) / |p0|.
// The scaling by 1/s keeps its accuracy however small s2 is (b's error is relative to its own
// components), down to s2 = kExactCircle s0, below which the null vector v2 is taken as it is.
AlgebraicCircle hyper_svd_in_frame(const UnitFrame& frame, std::span<const double> x,
                                   std::span<const double> y) {
  const std::size_t n = x.size();
  if (n < 3) return kNoCircle;
  double u_sum = +0.0;
  double v_sum = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    u_sum += frame.frame_u(x[i]);
    v_sum += frame.frame_v(y[i]);
  }
  const double mean_u = u_sum / static_cast<double>(n);
  const double mean_v = v_sum / static_cast<double>(n);

  std::vector<double> columns(3 * n);
  double z_sum = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double u = frame.frame_u(x[i]) - mean_u;
    const double v = frame.frame_v(y[i]) - mean_v;
    const double z = u * u + v * v;
    columns[i] = z;
    columns[n + i] = u;
    columns[2 * n + i] = v;
    z_sum += z;
  }
  const double z_mean = z_sum / static_cast<double>(n);
  const double r0 = std::sqrt(z_mean);
  const double two_r0 = r0 + r0;
  for (std::size_t i = 0; i < n; ++i) columns[i] = (columns[i] - z_mean) / two_r0;

  linalg::Array2 m = unwrap(linalg::Array2::from_col_major(n, 3, std::move(columns)));
  const linalg::SvdResult first = unwrap(linalg::svd_into(std::move(m), false, true));
  if (!first.vt) base::fault("called `Option::unwrap()` on a `None` value");
  const linalg::Array2& vt = *first.vt;
  const double s[4] = {first.s(0), first.s(1), first.s(2), r0 * std::sqrt(static_cast<double>(n))};

  double p[4] = {vt(2, 0), vt(2, 1), vt(2, 2), 0.0};
  if (s[2] > kExactCircle * s[0]) {
    double k[4][4] = {};
    for (int i = 0; i < 3; ++i) {
      k[i][i] = 1.0 / (s[i] * s[i]);
      k[i][3] = vt(static_cast<std::size_t>(i), 0) / (s[i] * s[3]);
      k[3][i] = k[i][3];
    }
    double shift = 0.0;
    for (const auto& k_row : k) {
      double row = +0.0;
      for (const double entry : k_row) row += std::fabs(entry);
      shift = std::max(shift, row);
    }
    std::vector<double> shifted(16);
    for (int i = 0; i < 4; ++i) {
      for (int j = 0; j < 4; ++j) shifted[4 * i + j] = k[i][j] + (i == j ? shift : 0.0);
    }
    linalg::Array2 km = unwrap(linalg::Array2::from_row_major(4, 4, std::move(shifted)));
    const linalg::SvdResult second = unwrap(linalg::svd_into(std::move(km), false, true));
    if (!second.vt) base::fault("called `Option::unwrap()` on a `None` value");
    const linalg::Array2& top = *second.vt;
    double b[4];
    for (int i = 0; i < 4; ++i) b[i] = top(0, static_cast<std::size_t>(i)) / s[i];
    for (int j = 0; j < 3; ++j) {
      double sum = +0.0;
      for (int i = 0; i < 3; ++i)
        sum += vt(static_cast<std::size_t>(i), static_cast<std::size_t>(j)) * b[i];
      p[j] = sum;
    }
    p[3] = b[3];
  }
  const double cx = -p[1] * r0 / p[0];
  const double cy = -p[2] * r0 / p[0];
  const double norm = p[0] * p[0] + p[1] * p[1] + p[2] * p[2] - 2.0 * p[0] * p[3];
  const double r = r0 * std::sqrt(norm) / std::fabs(p[0]);
  if (!std::isfinite(cx) || !std::isfinite(cy) || !std::isfinite(r) || !(r > 0.0)) {
    return kNoCircle;
  }
  return {cx + mean_u, cy + mean_v, r, true};
}

}  // namespace

FrameMoments frame_moments(const UnitFrame& frame, const std::span<const double> x,
                           const std::span<const double> y) {
  const std::size_t n = x.size();
  FrameMoments m{};
  m.n = n;
  if (n == 0) return m;
  const double count = static_cast<double>(n);
  double u_sum = +0.0;
  double v_sum = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    u_sum += frame.frame_u(x[i]);
    v_sum += frame.frame_v(y[i]);
  }
  m.mean_u = u_sum / count;
  m.mean_v = v_sum / count;
  double uu = +0.0;
  double vv = +0.0;
  double uv = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double u = frame.frame_u(x[i]) - m.mean_u;
    const double v = frame.frame_v(y[i]) - m.mean_v;
    uu += u * u;
    vv += v * v;
    uv += u * v;
  }
  m.muu = uu / count;
  m.mvv = vv / count;
  m.muv = uv / count;
  const double mz = m.muu + m.mvv;
  double uz = +0.0;
  double vz = +0.0;
  double zz = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double u = frame.frame_u(x[i]) - m.mean_u;
    const double v = frame.frame_v(y[i]) - m.mean_v;
    const double z = (u * u + v * v) - mz;  // centred: mean(u z) is unchanged, Var z is exact
    uz += u * z;
    vz += v * z;
    zz += z * z;
  }
  m.muz = uz / count;
  m.mvz = vz / count;
  m.var_z = zz / count;
  return m;
}

AlgebraicCircle hyper_newton_in_frame(const FrameMoments& m) {
  return newton_fit(m, Constraint::Hyper);
}

AlgebraicCircle taubin_newton_in_frame(const FrameMoments& m) {
  return newton_fit(m, Constraint::Taubin);
}

AlgebraicCircle hyper_svd(const std::span<const double> x, const std::span<const double> y) {
  const std::optional<UnitFrame> frame = unit_frame(x, y);
  if (!frame) return kNoCircle;
  return in_data(*frame, hyper_svd_in_frame(*frame, x, y));
}

AlgebraicCircle hyper_newton(const std::span<const double> x, const std::span<const double> y) {
  const std::optional<UnitFrame> frame = unit_frame(x, y);
  if (!frame) return kNoCircle;
  return in_data(*frame, hyper_newton_in_frame(frame_moments(*frame, x, y)));
}

AlgebraicCircle taubin_newton(const std::span<const double> x, const std::span<const double> y) {
  const std::optional<UnitFrame> frame = unit_frame(x, y);
  if (!frame) return kNoCircle;
  return in_data(*frame, taubin_newton_in_frame(frame_moments(*frame, x, y)));
}

}  // namespace tondra::kit
