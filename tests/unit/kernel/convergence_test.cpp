#include "kernel/convergence.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "kernel/arc_points.hpp"
#include "kernel/geometric.hpp"

namespace {

using kit_test::Arc;
using tondra::kit::geometric_fit;
using tondra::kit::is_least_squares_minimum;
using Vec = std::vector<double>;

constexpr double kPi = std::numbers::pi;

Arc arc_points(double cx, double cy, double r, double from, double to, int n, double noise = 0.0,
               unsigned seed = 1) {
  return kit_test::points_on_arc(cx, cy, r, from, to - from, n - 1, n, noise, seed);
}

TEST(IsLeastSquaresMinimum, TrueAtFittedCentresFalseNearThemAndAtASaddle) {
  const Vec published[][2] = {{{9, 35, -13, 10, 23, 0}, {34, 10, 6, -14, 27, -10}},
                              {{36, 36, 19, 18, 33, 26}, {14, 10, 28, 31, 18, 26}},
                              {{1, 2, 5, 7, 9, 3}, {7, 6, 8, 7, 5, 7}}};
  for (const auto& p : published) {
    const tondra::kit::GeometricFit fit = geometric_fit(p[0], p[1]);
    EXPECT_TRUE(is_least_squares_minimum(p[0], p[1], fit.cx, fit.cy));
  }
  for (const double degrees : {5.0, 30.0, 120.0}) {
    const Arc a = arc_points(2.0, 1.0, 10.0, 0.2, 0.2 + degrees * kPi / 180.0, 20, 0.1);
    const tondra::kit::GeometricFit fit = geometric_fit(a.x, a.y);
    EXPECT_TRUE(is_least_squares_minimum(a.x, a.y, fit.cx, fit.cy)) << degrees;
  }
  // A noise-free full circle: its centre, and the centre moved by 1e-3 of r.
  const Arc full = arc_points(2.0, 1.0, 10.0, 0.0, 2.0 * kPi * 19.0 / 20.0, 20);
  EXPECT_TRUE(is_least_squares_minimum(full.x, full.y, 2.0, 1.0));
  EXPECT_FALSE(is_least_squares_minimum(full.x, full.y, 2.0 + 1e-2, 1.0));
  EXPECT_FALSE(is_least_squares_minimum(full.x, full.y, 2.0, 1.0 - 1e-2));
  // The zigzag's centroid has a zero gradient, but the cost falls both ways across the line.
  const Vec zig_x = {0, 1, 2, 3};
  const Vec zig_y = {0, 1e-6, 0, 1e-6};
  EXPECT_FALSE(is_least_squares_minimum(zig_x, zig_y, 1.5, 0.5e-6));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(is_least_squares_minimum(full.x, full.y, nan, 1.0));
}

}  // namespace
