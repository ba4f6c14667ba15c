#include "kernel/covariance.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "kernel/arc_points.hpp"
#include "kernel/circle_stats.hpp"
#include "kernel/geometric.hpp"

namespace {

using kit_test::Arc;
using tondra::kit::covariance_at;
using tondra::kit::geometric_fit;
using Vec = std::vector<double>;

// Two computations of the same 3 x 3 covariance.
constexpr double kSameCovariance = 1e-9;

Arc arc_points(double cx, double cy, double r, double from, double to, int n, double noise = 0.0,
               unsigned seed = 1) {
  return kit_test::points_on_arc(cx, cy, r, from, to - from, n - 1, n, noise, seed);
}

// sigma^2 (J^T J)^-1 straight from its definition, in long double, by the adjugate.
std::array<long double, 9> direct_covariance(const Arc& a, double cx, double cy, double r) {
  long double m[3][3] = {};
  long double ss = 0.0L;
  const std::size_t n = a.x.size();
  for (std::size_t i = 0; i < n; ++i) {
    const long double dx = a.x[i] - cx;
    const long double dy = a.y[i] - cy;
    const long double d = std::hypot(dx, dy);
    const long double j[3] = {-dx / d, -dy / d, -1.0L};
    for (int p = 0; p < 3; ++p) {
      for (int q = 0; q < 3; ++q) m[p][q] += j[p] * j[q];
    }
    ss += (d - r) * (d - r);
  }
  const long double sigma2 = ss / static_cast<long double>(n - 3);
  std::array<long double, 9> inv;
  const long double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                          m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                          m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  for (int p = 0; p < 3; ++p) {
    for (int q = 0; q < 3; ++q) {
      const int r0 = (q + 1) % 3, r1 = (q + 2) % 3, c0 = (p + 1) % 3, c1 = (p + 2) % 3;
      inv[3 * p + q] = sigma2 * (m[r0][c0] * m[r1][c1] - m[r0][c1] * m[r1][c0]) / det;
    }
  }
  return inv;
}

// Variances of a circle 2^600 times larger are no doubles; the scaled form carries them.
TEST(CovarianceAt, MatchesTheDefinitionAndScalesAsLengthSquared) {
  const Arc a = arc_points(3.0, -1.0, 5.0, 0.1, 2.5, 15, 0.05);
  const tondra::kit::GeometricFit fit = geometric_fit(a.x, a.y);
  const std::array<double, 9> cov = covariance_at(a.x, a.y, fit.cx, fit.cy, fit.r, true);
  const std::array<long double, 9> direct = direct_covariance(a, fit.cx, fit.cy, fit.r);
  for (int k = 0; k < 9; ++k) {
    EXPECT_NEAR(cov[k], static_cast<double>(direct[k]),
                kSameCovariance * static_cast<double>(direct[0] + direct[8]))
        << k;
  }
  Arc big = a;
  for (double& v : big.x) v = std::ldexp(v, 600);
  for (double& v : big.y) v = std::ldexp(v, 600);
  const tondra::kit::ScaledCovariance exact = tondra::kit::covariance_at_scaled(
      big.x, big.y, std::ldexp(fit.cx, 600), std::ldexp(fit.cy, 600), std::ldexp(fit.r, 600), true);
  for (int k = 0; k < 9; ++k) {
    EXPECT_NEAR(std::ldexp(exact.cov[k], 2 * exact.exponent - 1200), cov[k],
                kSameCovariance * (cov[0] + cov[8]))
        << k;
  }
}

TEST(CovarianceAt, VariancesStayNonNegativeOnNearlyStraightArcs) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    const Arc a = arc_points(0.0, 0.0, 1e4, 0.0, 1e-4 * seed, 10, 1e-3, seed);
    const tondra::kit::GeometricFit fit = geometric_fit(a.x, a.y);
    const std::array<double, 9> cov = covariance_at(a.x, a.y, fit.cx, fit.cy, fit.r, true);
    for (const int k : {0, 4, 8}) EXPECT_FALSE(cov[k] < 0.0) << seed << " " << k;
  }
}

TEST(CovarianceAt, NanWhenNotConvergedOrWithoutDegreesOfFreedom) {
  const Arc a = arc_points(0.0, 0.0, 1.0, 0.0, 3.0, 10, 0.01);
  for (const double v : covariance_at(a.x, a.y, 0.0, 0.0, 1.0, false)) EXPECT_TRUE(std::isnan(v));
  const Vec x = {1, 0, -1};
  const Vec y = {0, 1, 0};
  for (const double v : covariance_at(x, y, 0.0, 0.0, 1.0, true)) EXPECT_TRUE(std::isnan(v));
}

// The two forms round differently but compute one formula: on a well-conditioned arc they agree
// to rounding, and the fit's statistics, which take the cofactor form, carry it.
TEST(Covariance, CofactorAndStableFormsAgreeOnAWellConditionedArc) {
  const Arc a = arc_points(-2.0, 4.0, 3.0, 0.3, 4.0, 25, 0.02, 3);
  const tondra::kit::GeometricFit fit = geometric_fit(a.x, a.y);
  std::vector<double> scratch;
  const tondra::kit::CircleStats stats =
      tondra::kit::circle_stats(a.x, a.y, fit.cx, fit.cy, scratch);
  const std::array<double, 9> stable = covariance_at(a.x, a.y, fit.cx, fit.cy, stats.r, true);
  for (int k = 0; k < 9; ++k) {
    EXPECT_NEAR(stats.cov[k], stable[k], kSameCovariance * (stable[0] + stable[8])) << k;
  }
}

}  // namespace
