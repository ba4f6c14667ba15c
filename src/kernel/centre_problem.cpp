#include "kernel/centre_problem.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "kernel/plane_length.hpp"

namespace tondra::kit {
namespace {

// What one point contributes: the residual before centring and the Jacobian's row (negated)
// before centring, both shifted by the same constant for every point.
struct PointTerms {
  double delta;  // d_i - |c|
  double nu;     // (n_i + c/|c|)_u
  double nv;
  double d;
  double inverse_d;  // 1 / d, 0 at the centre
};

// terms() of a point away from the centre (d > 0); at the centre its results are not numbers.
// Without a branch, a loop of it can run two points at a time.
PointTerms terms_away(const double u, const double v, const double a, const double b,
                      const double centre_distance, const double inverse_centre_distance) noexcept {
  const double du = u - a;
  const double dv = v - b;
  const double d = std::sqrt(du * du + dv * dv);
  const double numerator = (u * u + v * v) - 2.0 * (u * a + v * b);
  // One division for both 1 / (d + |c|) and 1 / d: the divider is the bottleneck of the pass.
  const double sum = d + centre_distance;
  const double inverse = 1.0 / (d * sum);
  const double delta = numerator * (d * inverse);
  const double inverse_d = sum * inverse;
  const double shift = delta * inverse_centre_distance;
  return {delta, (u + a * shift) * inverse_d, (v + b * shift) * inverse_d, d, inverse_d};
}

PointTerms terms(const double u, const double v, const double a, const double b,
                 const double centre_distance, const double inverse_centre_distance) noexcept {
  const double du = u - a;
  const double dv = v - b;
  const double d = std::sqrt(du * du + dv * dv);
  if (!(d > 0.0)) {
    const double numerator = (u * u + v * v) - 2.0 * (u * a + v * b);
    const double delta = centre_distance > 0.0 ? numerator / centre_distance : 0.0;
    return {delta, a * inverse_centre_distance, b * inverse_centre_distance, d, 0.0};
  }
  return terms_away(u, v, a, b, centre_distance, inverse_centre_distance);
}

// The points' terms go block by block through small arrays: a loop without sums can run two
// points at a time (the square root and the division dominate), and the sums then still run
// in index order.
constexpr std::size_t kBlock = 64;

// One block's residuals and Jacobian rows, shifted by the first point's, with the distances and
// their inverses (0 at the centre).
struct Block {
  std::array<double, kBlock> d, inverse_d, e, ja, jb;
};

// Fills `block` from the points from `start` on; returns how many it holds.
std::size_t fill(Block& block, const CentreProblem& problem, const std::size_t start,
                 const double a, const double b, const double centre_distance, const double inverse,
                 const PointTerms& first) noexcept {
  const std::size_t count = std::min(kBlock, problem.size() - start);
  // The coordinates first, into arrays of this function's own, which nothing else can alias.
  std::array<double, kBlock> us, vs;
  for (std::size_t k = 0; k < count; ++k) {
    us[k] = problem.u(start + k);
    vs[k] = problem.v(start + k);
  }
  for (std::size_t k = 0; k < count; ++k) {
    const PointTerms t = terms_away(us[k], vs[k], a, b, centre_distance, inverse);
    block.d[k] = t.d;
    block.inverse_d[k] = t.inverse_d;
    block.e[k] = t.delta - first.delta;
    block.ja[k] = t.nu - first.nu;
    block.jb[k] = t.nv - first.nv;
  }
  for (std::size_t k = 0; k < count; ++k) {
    if (block.d[k] > 0.0) continue;
    // At the centre (or not a number): the branch terms_away leaves out.
    const PointTerms t =
        terms(problem.u(start + k), problem.v(start + k), a, b, centre_distance, inverse);
    block.inverse_d[k] = t.inverse_d;
    block.e[k] = t.delta - first.delta;
    block.ja[k] = t.nu - first.nu;
    block.jb[k] = t.nv - first.nv;
  }
  return count;
}

// The shifted sums of the normal equations, each in index order from +0.0.
struct NormalSums {
  double se = +0.0, sa = +0.0, sb = +0.0;
  double see = +0.0, saa = +0.0, sab = +0.0, sbb = +0.0, sae = +0.0, sbe = +0.0;

  void add(const double e, const double ja, const double jb) noexcept {
    se += e;
    sa += ja;
    sb += jb;
    see += e * e;
    saa += ja * ja;
    sab += ja * jb;
    sbb += jb * jb;
    sae += ja * e;
    sbe += jb * e;
  }

  // The normal equations, centred.
  CentreNormal centred(const double n, const double centre_distance,
                       const double first_delta) const noexcept {
    const double mean_e = se / n;
    const double mean_a = sa / n;
    const double mean_b = sb / n;
    CentreNormal out;
    // Rounding can take a centred sum of squares just below 0; it is 0 then.
    out.cost = std::max(see - se * mean_e, 0.0);
    out.r = centre_distance + (first_delta + mean_e);
    out.jtj = {std::max(saa - sa * mean_a, 0.0), sab - sa * mean_b,
               std::max(sbb - sb * mean_b, 0.0)};
    out.h = {sae - sa * mean_e, sbe - sb * mean_e};
    return out;
  }
};

}  // namespace

CentreNormal CentreProblem::evaluate(const double a, const double b) const noexcept {
  const double centre_distance = std::sqrt(a * a + b * b);
  const double inverse = centre_distance > 0.0 ? 1.0 / centre_distance : 0.0;
  const PointTerms first = terms(u(0), v(0), a, b, centre_distance, inverse);
  NormalSums sums;
  Block block;
  const std::size_t n_points = x_.size();
  for (std::size_t start = 0; start < n_points; start += kBlock) {
    const std::size_t count = fill(block, *this, start, a, b, centre_distance, inverse, first);
    // Point 0 adds nothing to the shifted sums: its terms are 0 exactly.
    for (std::size_t k = 0; k < count; ++k) sums.add(block.e[k], block.ja[k], block.jb[k]);
  }
  return sums.centred(static_cast<double>(n_points), centre_distance, first.delta);
}

double CentreProblem::cost(const double a, const double b) const noexcept {
  const double centre_distance = std::sqrt(a * a + b * b);
  const double inverse = centre_distance > 0.0 ? 1.0 / centre_distance : 0.0;
  const PointTerms first = terms(u(0), v(0), a, b, centre_distance, inverse);
  double se = +0.0;
  double see = +0.0;
  Block block;
  const std::size_t n_points = x_.size();
  for (std::size_t start = 0; start < n_points; start += kBlock) {
    const std::size_t count = fill(block, *this, start, a, b, centre_distance, inverse, first);
    for (std::size_t k = 0; k < count; ++k) {
      const double e = block.e[k];
      se += e;
      see += e * e;
    }
  }
  const double mean_e = se / static_cast<double>(n_points);
  return std::max(see - se * mean_e, 0.0);
}

std::array<double, 3> CentreProblem::hessian(const double a, const double b,
                                             const CentreNormal& at) const noexcept {
  const double centre_distance = std::sqrt(a * a + b * b);
  const double inverse = centre_distance > 0.0 ? 1.0 / centre_distance : 0.0;
  const double mean_delta = at.r - centre_distance;
  double haa = +0.0, hab = +0.0, hbb = +0.0;
  for (std::size_t i = 0; i < x_.size(); ++i) {
    const PointTerms t = terms(u(i), v(i), a, b, centre_distance, inverse);
    if (!(t.d > 0.0)) continue;  // no direction, no curvature
    const double du = u(i) - a;
    const double dv = v(i) - b;
    const double weight = (t.delta - mean_delta) / (t.d * t.d * t.d);
    haa += weight * (dv * dv);
    hab -= weight * (du * dv);
    hbb += weight * (du * du);
  }
  return {at.jtj[0] + haa, at.jtj[1] + hab, at.jtj[2] + hbb};
}

CentreNormal CentreProblem::evaluate_with_hessian(const double a, const double b,
                                                  std::array<double, 3>& hessian) const noexcept {
  const double centre_distance = std::sqrt(a * a + b * b);
  const double inverse = centre_distance > 0.0 ? 1.0 / centre_distance : 0.0;
  const PointTerms first = terms(u(0), v(0), a, b, centre_distance, inverse);
  NormalSums sums;
  // The curvature of d_i, (I - n_i n_i^T) / d_i, as (dv^2, -du dv, du^2) / d^3: summed plain (k)
  // and against the shifted residual (ke), so that sum e_i K_i = ke - mean_e k.
  double kaa = +0.0, kab = +0.0, kbb = +0.0;
  double keaa = +0.0, keab = +0.0, kebb = +0.0;
  Block block;
  std::array<double, kBlock> caa, cab, cbb;
  const std::size_t n_points = x_.size();
  for (std::size_t start = 0; start < n_points; start += kBlock) {
    const std::size_t count = fill(block, *this, start, a, b, centre_distance, inverse, first);
    for (std::size_t k = 0; k < count; ++k) {
      const double du = u(start + k) - a;
      const double dv = v(start + k) - b;
      // At the centre the inverse distance is 0: no direction, no curvature.
      const double inverse_d3 = (block.inverse_d[k] * block.inverse_d[k]) * block.inverse_d[k];
      caa[k] = (dv * dv) * inverse_d3;
      cab[k] = (du * dv) * inverse_d3;
      cbb[k] = (du * du) * inverse_d3;
    }
    for (std::size_t k = 0; k < count; ++k) {
      const double e = block.e[k];
      sums.add(e, block.ja[k], block.jb[k]);
      kaa += caa[k];
      kab += cab[k];
      kbb += cbb[k];
      keaa += e * caa[k];
      keab += e * cab[k];
      kebb += e * cbb[k];
    }
  }
  const double n = static_cast<double>(n_points);
  const CentreNormal out = sums.centred(n, centre_distance, first.delta);
  const double mean_e = sums.se / n;
  hessian = {out.jtj[0] + (keaa - mean_e * kaa), out.jtj[1] - (keab - mean_e * kab),
             out.jtj[2] + (kebb - mean_e * kbb)};
  return out;
}

bool gram_dominates(const CentreNormal& at, const std::size_t n) noexcept {
  const double spread = std::sqrt(at.cost);
  // J^T J's entries are sums of n squares of numbers no larger than 4 (no overflow): the plain
  // square root serves, and std::hypot would cost as much as the rest of the test.
  const double half_difference = 0.5 * (at.jtj[0] - at.jtj[2]);
  const double gram_lowest = 0.5 * (at.jtj[0] + at.jtj[2]) -
                             std::sqrt(half_difference * half_difference + at.jtj[1] * at.jtj[1]);
  return at.r > spread &&
         gram_lowest > std::sqrt(static_cast<double>(n) * at.cost) / (at.r - spread);
}

Curvatures curvatures(const std::array<double, 3>& h) noexcept {
  return {0.5 * (h[0] + h[2]), plane_length(0.5 * (h[0] - h[2]), h[1])};
}

bool curves_down(const Curvatures& c) noexcept {
  return c.lowest() < -kNegativeCurvature * (std::fabs(c.mean) + c.radius);
}

bool solve_spd2(const std::array<double, 3>& s, const std::array<double, 2>& h,
                std::array<double, 2>& x) noexcept {
  // s = L diag(p0, p1) L^T with L = [[1, 0], [l, 1]]: no square roots on the iteration's path.
  const double p0 = s[0];
  if (!(p0 > 0.0) || !std::isfinite(p0)) return false;
  const double l = s[1] / p0;
  const double p1 = s[2] - l * s[1];
  if (!(p1 > 0.0) || !std::isfinite(p1)) return false;
  x[1] = (h[1] - l * h[0]) / p1;
  x[0] = h[0] / p0 - l * x[1];
  return std::isfinite(x[0]) && std::isfinite(x[1]);
}

}  // namespace tondra::kit
