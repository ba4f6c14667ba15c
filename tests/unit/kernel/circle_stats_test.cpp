#include "kernel/circle_stats.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using tondra::kit::circle_stats;
using tondra::kit::CircleStats;

CircleStats stats(const std::vector<double>& x, const std::vector<double>& y, double cx,
                  double cy) {
  std::vector<double> scratch;
  return circle_stats(x, y, cx, cy, scratch);
}

// Eight points at distances 5 (integer Pythagorean triples) about (1, 2), and 5 + noise.
const std::vector<double> kX = {6, 4, 1, -2, -4, -2, 1, 4};
const std::vector<double> kY = {2, 6, 7, 6, 2, -2, -3, -2};
const std::vector<double> kNoisyX = {6.1, 4, 1, -2.05, -4, -2, 1, 4.02};
const std::vector<double> kNoisyY = {2, 6, 7.1, 6, 2, -2.03, -3, -2};

TEST(CircleStats, IsExactForPointsOnTheCircle) {
  const CircleStats s = stats(kX, kY, 1.0, 2.0);
  EXPECT_EQ(s.r, 5.0);
  EXPECT_EQ(s.rms, 0.0);
  for (const double c : s.cov) EXPECT_EQ(c, 0.0);
  EXPECT_EQ(s.cov_exponent, 0);
}

TEST(CircleStats, CovarianceInvertsTheNormalMatrixScaledBySigmaSquared) {
  // Tolerance: a few ulps of the products of entries of order 1e-3 and 10.
  constexpr double kTolerance = 1e-15;
  const CircleStats s = stats(kNoisyX, kNoisyY, 1.0, 2.0);
  double jtj[3][3] = {};
  double see = 0.0;
  for (std::size_t i = 0; i < kNoisyX.size(); ++i) {
    const double dx = kNoisyX[i] - 1.0;
    const double dy = kNoisyY[i] - 2.0;
    const double d = std::sqrt(dx * dx + dy * dy);
    const double row[3] = {dx / d, dy / d, 1.0};
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) jtj[a][b] += row[a] * row[b];
    }
    see += (d - s.r) * (d - s.r);
  }
  const double sigma2 = see / 5.0;
  EXPECT_NEAR(s.rms, std::sqrt(see / 8.0), kTolerance);
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      double product = 0.0;
      for (int c = 0; c < 3; ++c) product += s.cov[3 * a + c] * jtj[c][b];
      EXPECT_NEAR(product, a == b ? sigma2 : 0.0, kTolerance) << a << ", " << b;
    }
  }
}

TEST(CircleStats, GivesAPointAtTheCentreNoDirectionAndNoCovarianceForThreePoints) {
  std::vector<double> x = kNoisyX;
  std::vector<double> y = kNoisyY;
  x.push_back(1.0);
  y.push_back(2.0);
  const CircleStats s = stats(x, y, 1.0, 2.0);
  const CircleStats without = stats(kNoisyX, kNoisyY, 1.0, 2.0);
  EXPECT_EQ(s.r, without.r * 8.0 / 9.0);
  for (const double c : s.cov) EXPECT_TRUE(std::isfinite(c));
  const CircleStats three = stats({6, 1, -4}, {2, 7, 2}, 1.0, 2.0);
  EXPECT_EQ(three.r, 5.0);
  for (const double c : three.cov) EXPECT_TRUE(std::isnan(c));
}

TEST(CircleStats, ScalesExactlyWithTheDataOverTheWholeRange) {
  const CircleStats plain = stats(kNoisyX, kNoisyY, 1.0, 2.0);
  // Down to where the coordinates would turn subnormal and lose bits of their own.
  for (const int e : {-1000, -900, -500, 500, 900, 1015}) {
    std::vector<double> x = kNoisyX;
    std::vector<double> y = kNoisyY;
    for (double& v : x) v = std::ldexp(v, e);
    for (double& v : y) v = std::ldexp(v, e);
    const CircleStats s = stats(x, y, std::ldexp(1.0, e), std::ldexp(2.0, e));
    SCOPED_TRACE(e);
    EXPECT_EQ(s.r, std::ldexp(plain.r, e));
    EXPECT_EQ(s.rms, std::ldexp(plain.rms, e));
    ASSERT_NE(s.cov_exponent, 0);
    for (std::size_t i = 0; i < 9; ++i) {
      EXPECT_EQ(std::ldexp(s.cov[i], 2 * (s.cov_exponent - e)), plain.cov[i]) << i;
    }
  }
}

}  // namespace
