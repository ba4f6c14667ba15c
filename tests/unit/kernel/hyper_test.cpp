#include "kernel/hyper.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "fits/circle_fit.hpp"
#include "kernel/arc_points.hpp"

namespace {

using kit_test::Arc;
using tondra::kit::AlgebraicCircle;
using tondra::kit::hyper_newton;
using tondra::kit::hyper_svd;
using tondra::kit::taubin_newton;
using Vec = std::vector<double>;

// Points on a circle lie on every algebraic fit's circle; what is left is rounding of the data,
// amplified for short arcs.
constexpr double kExactTolerance = 1e-9;
// The decomposition and the polynomial are two computations of one fit.
constexpr double kFormsAgree = 1e-9;
// Values from a generalized eigensolver (M a = eta N a) on the centred moments, to 12 digits.
constexpr double kReferenceDigits = 1e-11;

// Points evenly along an arc from 0.3 radians (a whole circle's not repeating).
Arc arc_points(double cx, double cy, double r, double degrees, int n, double noise = 0.0,
               unsigned seed = 1) {
  return kit_test::evenly_on_arc(0.3, cx, cy, r, degrees, n, noise, seed);
}

void expect_circle(const AlgebraicCircle& c, double cx, double cy, double r, double tol) {
  ASSERT_TRUE(c.ok);
  EXPECT_NEAR(c.cx, cx, tol * r);
  EXPECT_NEAR(c.cy, cy, tol * r);
  EXPECT_NEAR(c.r, r, tol * r);
}

TEST(HyperFit, EveryFormRecoversPointsOnACircleAtAnyScaleAndPlace) {
  for (const double degrees : {20.0, 90.0, 360.0}) {
    for (const double r : {1e-3, 1.0, 1e3}) {
      for (const double far : {0.0, 1e4}) {
        const double cx = 0.6 * far * r + 0.3 * r;
        const double cy = -0.8 * far * r;
        const Arc a = arc_points(cx, cy, r, degrees, 20);
        SCOPED_TRACE(testing::Message() << degrees << " deg, r " << r << ", far " << far);
        expect_circle(hyper_svd(a.x, a.y), cx, cy, r, kExactTolerance);
        expect_circle(hyper_newton(a.x, a.y), cx, cy, r, kExactTolerance);
        expect_circle(taubin_newton(a.x, a.y), cx, cy, r, kExactTolerance);
      }
    }
  }
}

TEST(HyperFit, MatchesAGeneralizedEigensolverOnPublishedData) {
  const Vec x = {36, 36, 19, 18, 33, 26};
  const Vec y = {14, 10, 28, 31, 18, 26};
  expect_circle(hyper_svd(x, y), 9.582585517995, 3.486535823485, 27.669382171379, kReferenceDigits);
  expect_circle(taubin_newton(x, y), 9.575796910938, 3.479898878813, 27.702200330251,
                kReferenceDigits);
  const Vec u = {1, 2, 5, 7, 9, 3};
  const Vec v = {7, 6, 8, 7, 5, 7};
  expect_circle(hyper_newton(u, v), 4.615481516847, 2.807354397193, 4.827575176380,
                kReferenceDigits);
  expect_circle(taubin_newton(u, v), 4.613932693879, 2.795209346931, 4.879212845616,
                kReferenceDigits);
}

TEST(HyperFit, DecompositionAndPolynomialAgreeOnNoisyArcs) {
  for (unsigned seed = 1; seed <= 50; ++seed) {
    const Arc a = arc_points(3.0, -2.0, 10.0, 30.0 + 6.0 * seed, 5 + static_cast<int>(seed % 30),
                             0.05 * 10.0, seed);
    const AlgebraicCircle s = hyper_svd(a.x, a.y);
    SCOPED_TRACE(seed);
    expect_circle(hyper_newton(a.x, a.y), s.cx, s.cy, s.r, kFormsAgree);
  }
}

TEST(HyperFit, TaubinsPolynomialFindsTheModulesTaubinCentre) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    const Arc a = arc_points(-4.0, 7.0, 2.0, 20.0 * seed, 12, 0.1, seed);
    const std::vector<double> module = tondra::taubin_svd(a.x, a.y);
    const AlgebraicCircle mine = taubin_newton(a.x, a.y);
    ASSERT_TRUE(mine.ok);
    EXPECT_NEAR(mine.cx, module[0], kFormsAgree * mine.r) << seed;
    EXPECT_NEAR(mine.cy, module[1], kFormsAgree * mine.r) << seed;
  }
}

// Hyper removes the essential bias of the radius that Taubin keeps (about sigma^2 / r for full
// circles): over many sets its mean radius error is well under half of Taubin's.
TEST(HyperFit, RadiusBiasOnNoisyFullCirclesIsUnderHalfOfTaubins) {
  constexpr int kSets = 4000;
  double hyper_error = 0.0;
  double taubin_error = 0.0;
  for (int s = 0; s < kSets; ++s) {
    const Arc a = arc_points(0.0, 0.0, 1.0, 360.0, 20, 0.05, static_cast<unsigned>(s + 1));
    hyper_error += hyper_svd(a.x, a.y).r - 1.0;
    taubin_error += taubin_newton(a.x, a.y).r - 1.0;
  }
  EXPECT_LT(std::fabs(hyper_error), 0.5 * std::fabs(taubin_error));
}

TEST(HyperFit, ScalesWithTheDataBitForBitAndSurvivesExtremeScales) {
  const Arc a = arc_points(1.0, 2.0, 3.0, 100.0, 12, 0.1);
  const AlgebraicCircle base = hyper_svd(a.x, a.y);
  for (const int k : {-1000, -7, 9, 1000}) {
    Vec x = a.x;
    Vec y = a.y;
    for (double& v : x) v = std::ldexp(v, k);
    for (double& v : y) v = std::ldexp(v, k);
    const AlgebraicCircle scaled = hyper_svd(x, y);
    ASSERT_TRUE(scaled.ok) << k;
    EXPECT_EQ(scaled.cx, std::ldexp(base.cx, k));
    EXPECT_EQ(scaled.cy, std::ldexp(base.cy, k));
    EXPECT_EQ(scaled.r, std::ldexp(base.r, k));
  }
}

TEST(HyperFit, DataWithoutACircleAreNotOk) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Vec cases[][2] = {
      {{}, {}},
      {{1, 2}, {3, 4}},
      {{1, 1, 1, 1}, {2, 2, 2, 2}},
      {{0, 1, 2, 3}, {0, 1, 2, 3}},
      {{0, 1, nan, 3}, {0, 1, 2, 3}},
      {{0, 1, 2, 3}, {0, std::numeric_limits<double>::infinity(), 2, 3}},
  };
  for (const auto& c : cases) {
    for (const AlgebraicCircle& fit :
         {hyper_svd(c[0], c[1]), hyper_newton(c[0], c[1]), taubin_newton(c[0], c[1])}) {
      EXPECT_FALSE(fit.ok) << c[0].size();
      EXPECT_TRUE(std::isnan(fit.cx) && std::isnan(fit.cy) && std::isnan(fit.r));
    }
  }
}

}  // namespace
