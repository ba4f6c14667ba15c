#include "kernel/geometric.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "kernel/arc_points.hpp"
#include "kernel/hyper.hpp"

namespace {

using kit_test::Arc;
using tondra::kit::geometric_fit;
using tondra::kit::GeometricFit;
using tondra::kit::Termination;
using Vec = std::vector<double>;

// Points on a circle: the fit must find it to a small multiple of the data's rounding, which
// for a 1 degree arc or a centre 1e4 radii from the origin is amplified to about 1e-11 of r.
constexpr double kExactTolerance = 1e-9;
// The published digits.
constexpr double kPrinted = 0.5e-5;
// Costs of two minimisations of the same function agree to rounding, relatively.
constexpr double kSameCost = 1e-9;

// Points evenly along an arc from 1.1 radians (a whole circle's not repeating).
Arc arc_points(double cx, double cy, double r, double degrees, int n, double noise = 0.0,
               unsigned seed = 1) {
  return kit_test::evenly_on_arc(1.1, cx, cy, r, degrees, n, noise, seed);
}

long double cost(const Arc& a, long double cx, long double cy, long double r) {
  long double sum = 0.0L;
  for (std::size_t i = 0; i < a.x.size(); ++i) {
    const long double e = std::hypot(a.x[i] - cx, a.y[i] - cy) - r;
    sum += e * e;
  }
  return sum;
}

// An independent reference: plain Levenberg-Marquardt in (cx, cy, r), in long double, with the
// textbook damping (lambda * I on the normal equations), run far past convergence.
long double reference_cost(const Arc& a, long double cx, long double cy) {
  long double r = 0.0L;
  for (std::size_t i = 0; i < a.x.size(); ++i) r += std::hypot(a.x[i] - cx, a.y[i] - cy);
  r /= static_cast<long double>(a.x.size());
  long double f = cost(a, cx, cy, r);
  long double lambda = 1e-3L;
  for (int it = 0; it < 2000; ++it) {
    long double m[3][3] = {};
    long double g[3] = {};
    for (std::size_t i = 0; i < a.x.size(); ++i) {
      const long double dx = a.x[i] - cx;
      const long double dy = a.y[i] - cy;
      const long double d = std::hypot(dx, dy);
      const long double j[3] = {-dx / d, -dy / d, -1.0L};
      const long double e = d - r;
      for (int p = 0; p < 3; ++p) {
        g[p] += j[p] * e;
        for (int q = 0; q < 3; ++q) m[p][q] += j[p] * j[q];
      }
    }
    for (int p = 0; p < 3; ++p) m[p][p] += lambda;
    // Cramer's rule on the 3 x 3 system m delta = -g.
    const auto det3 = [](long double a0[3], long double a1[3], long double a2[3]) {
      return a0[0] * (a1[1] * a2[2] - a1[2] * a2[1]) - a0[1] * (a1[0] * a2[2] - a1[2] * a2[0]) +
             a0[2] * (a1[0] * a2[1] - a1[1] * a2[0]);
    };
    const long double det = det3(m[0], m[1], m[2]);
    long double delta[3];
    for (int c = 0; c < 3; ++c) {
      long double t[3][3];
      for (int p = 0; p < 3; ++p) {
        for (int q = 0; q < 3; ++q) t[p][q] = q == c ? -g[p] : m[p][q];
      }
      delta[c] = det3(t[0], t[1], t[2]) / det;
    }
    const long double trial = cost(a, cx + delta[0], cy + delta[1], r + delta[2]);
    if (trial < f) {
      cx += delta[0];
      cy += delta[1];
      r += delta[2];
      f = trial;
      lambda *= 0.3L;
    } else {
      lambda *= 4.0L;
    }
  }
  return f;
}

TEST(GeometricFit, FindsPointsOnACircleAtEveryArcScaleAndPlace) {
  for (const double degrees : {1.0, 5.0, 20.0, 90.0, 360.0}) {
    for (const double r : {1e-3, 1e-1, 1.0, 1e1, 1e3}) {
      for (const double far : {0.0, 1e4}) {
        if (far > 0.0 && degrees < 20.0) continue;
        const double cx = 0.6 * far * r + 0.3 * r;
        const double cy = -0.8 * far * r - 0.2 * r;
        const Arc a = arc_points(cx, cy, r, degrees, 20);
        const GeometricFit fit = geometric_fit(a.x, a.y);
        SCOPED_TRACE(testing::Message() << degrees << " deg, r " << r << ", far " << far);
        EXPECT_TRUE(fit.converged);
        EXPECT_EQ(fit.termination, Termination::Converged);
        EXPECT_FALSE(fit.line_like);
        EXPECT_NEAR(fit.cx, cx, kExactTolerance * r);
        EXPECT_NEAR(fit.cy, cy, kExactTolerance * r);
        EXPECT_NEAR(fit.r, r, kExactTolerance * r);
      }
    }
  }
}

TEST(GeometricFit, ReproducesPublishedFitsToTheirPrintedDigits) {
  struct Case {
    Vec x, y;
    double cx, cy, r;
  };
  const Case cases[] = {
      {{9, 35, -13, 10, 23, 0}, {34, 10, 6, -14, 27, -10}, 10.50009, 9.65995, 23.33353},
      {{36, 36, 19, 18, 33, 26}, {14, 10, 28, 31, 18, 26}, 9.887567, 3.687497, 27.350443},
      {{1, 2, 5, 7, 9, 3}, {7, 6, 8, 7, 5, 7}, 4.739782, 2.983533, 4.714226},
  };
  for (const Case& c : cases) {
    const GeometricFit fit = geometric_fit(c.x, c.y);
    EXPECT_TRUE(fit.converged);
    EXPECT_FALSE(fit.line_like);
    EXPECT_NEAR(fit.cx, c.cx, kPrinted);
    EXPECT_NEAR(fit.cy, c.cy, kPrinted);
    EXPECT_NEAR(fit.r, c.r, kPrinted);
  }
}

// The symmetric zigzag's centroid circle (r = 1, rms = 0.5) is a saddle with zero gradient,
// where an optimiser started at the centroid stops; no finite circle beats the line here.
TEST(GeometricFit, NearlyCollinearPointsAreLineLikeNotStuckAtTheSaddle) {
  const Vec zig_x = {0, 1, 2, 3};
  const Vec zig_y = {0, 1e-6, 0, 1e-6};
  const GeometricFit zig = geometric_fit(zig_x, zig_y);
  EXPECT_TRUE(zig.line_like);
  EXPECT_GT(zig.r, 1e3);
  const Vec line_x = {0, 1, 2, 3, 4};
  const Vec line_y = {1, 3, 5, 7, 9};
  const GeometricFit line = geometric_fit(line_x, line_y);
  EXPECT_TRUE(line.line_like);
  // Points exactly on a line have no finite minimum: every run heads off to infinity.
  EXPECT_FALSE(line.converged);
  EXPECT_EQ(line.termination, Termination::Diverged);
}

TEST(GeometricFit, MakesNoRunOnTooFewPoints) {
  const Vec x = {0, 1};
  const GeometricFit fit = geometric_fit(x, x);
  EXPECT_EQ(fit.termination, Termination::None);
  EXPECT_EQ(fit.iterations, 0);
}

// Two rows mirrored across the x axis: by symmetry every step from the algebraic start stays on
// the axis, and the run settles at a saddle there (r about 2); the line y = 0 is better than
// any circle.
TEST(GeometricFit, LeavesASaddleOnAnAxisOfSymmetry) {
  const Vec x = {0, 0, 1, 1, 2, 2, 3, 3};
  const Vec y = {0.3, -0.3, 0.3, -0.3, 0.3, -0.3, 0.3, -0.3};
  const GeometricFit fit = geometric_fit(x, y);
  EXPECT_TRUE(fit.line_like);
  EXPECT_GT(fit.r, 1e3);
}

// Short noisy arcs have several minima; the fit must do at least as well as a long-double
// minimisation from Taubin's centre.
TEST(GeometricFit, NoisyShortArcsCostNoMoreThanAReferenceFromTaubin) {
  for (const double degrees : {5.0, 10.0, 20.0}) {
    for (unsigned seed = 1; seed <= 15; ++seed) {
      const Arc a = arc_points(20.0, -30.0, 100.0, degrees, 20, 1.0, seed);
      const GeometricFit fit = geometric_fit(a.x, a.y);
      const tondra::kit::AlgebraicCircle taubin = tondra::kit::taubin_newton(a.x, a.y);
      ASSERT_TRUE(taubin.ok);
      const long double reference = reference_cost(a, taubin.cx, taubin.cy);
      SCOPED_TRACE(testing::Message() << degrees << " deg, seed " << seed);
      ASSERT_TRUE(fit.converged);
      if (fit.line_like) continue;  // the reference then runs off to a huge radius as well
      EXPECT_LE(cost(a, fit.cx, fit.cy, fit.r), reference * (1.0L + kSameCost));
    }
  }
}

TEST(GeometricFit, TakesFewIterationsOnOrdinaryArcs) {
  std::int64_t iterations = 0;
  constexpr int kSets = 200;
  for (int s = 0; s < kSets; ++s) {
    const Arc a = arc_points(3.0, -2.0, 10.0, 120.0, 20, 0.1, static_cast<unsigned>(s + 1));
    const GeometricFit fit = geometric_fit(a.x, a.y);
    ASSERT_TRUE(fit.converged);
    iterations += fit.iterations;
  }
  EXPECT_LE(iterations, 6 * kSets);
}

TEST(GeometricFit, ScalesWithTheDataBitForBitAndSurvivesExtremeScales) {
  const Arc a = arc_points(1.0, 2.0, 3.0, 100.0, 12, 0.1);
  const GeometricFit base = geometric_fit(a.x, a.y);
  ASSERT_TRUE(base.converged);
  for (const int k : {-1000, -7, 9, 1000}) {
    Vec x = a.x;
    Vec y = a.y;
    for (double& v : x) v = std::ldexp(v, k);
    for (double& v : y) v = std::ldexp(v, k);
    const GeometricFit scaled = geometric_fit(x, y);
    EXPECT_EQ(scaled.cx, std::ldexp(base.cx, k)) << k;
    EXPECT_EQ(scaled.cy, std::ldexp(base.cy, k)) << k;
    EXPECT_EQ(scaled.r, std::ldexp(base.r, k)) << k;
    EXPECT_EQ(scaled.iterations, base.iterations) << k;
  }
}

TEST(GeometricFit, DataWithoutACircleGiveNan) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Vec cases[][2] = {
      {{}, {}}, {{1, 2}, {3, 4}}, {{1, 1, 1}, {2, 2, 2}}, {{0, 1, nan}, {0, 1, 2}}};
  for (const auto& c : cases) {
    const GeometricFit fit = geometric_fit(c[0], c[1]);
    EXPECT_TRUE(std::isnan(fit.cx) && std::isnan(fit.cy) && std::isnan(fit.r));
    EXPECT_FALSE(fit.converged);
    EXPECT_FALSE(fit.line_like);
  }
}

}  // namespace
