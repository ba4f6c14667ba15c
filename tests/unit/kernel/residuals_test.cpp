#include "kernel/residuals.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using tondra::kit::circle_residuals;

std::vector<double> residuals(const std::vector<double>& x, const std::vector<double>& y, double cx,
                              double cy, double r) {
  std::vector<double> out(x.size());
  circle_residuals(x, y, cx, cy, r, out);
  return out;
}

TEST(CircleResiduals, AreSignedDistancesFromTheCircle) {
  EXPECT_EQ(residuals({4, 1, 9, 1}, {2, -2, 8, 2}, 1.0, 2.0, 3.0),
            (std::vector<double>{0.0, 1.0, 7.0, -3.0}));
  EXPECT_TRUE(residuals({}, {}, 0.0, 0.0, 1.0).empty());
}

TEST(CircleResiduals, ScaleExactlyWithTheCircleWhereSquaresWouldOverflowOrUnderflow) {
  const std::vector<double> x = {4, 1, 9, 1, 1.5};
  const std::vector<double> y = {2, -2, 8, 2, 2.25};
  const std::vector<double> plain = residuals(x, y, 1.0, 2.0, 3.0);
  for (const int e : {-1070, -700, 700, 1020}) {
    std::vector<double> sx = x;
    std::vector<double> sy = y;
    for (double& v : sx) v = std::ldexp(v, e);
    for (double& v : sy) v = std::ldexp(v, e);
    const std::vector<double> got =
        residuals(sx, sy, std::ldexp(1.0, e), std::ldexp(2.0, e), std::ldexp(3.0, e));
    for (std::size_t i = 0; i < x.size(); ++i) {
      EXPECT_EQ(got[i], std::ldexp(plain[i], e)) << "2^" << e << ", point " << i;
    }
  }
}

TEST(CircleResiduals, AreMinusInfinityForAnInfiniteRadius) {
  const double inf = std::numeric_limits<double>::infinity();
  for (const double v : residuals({1, 2}, {3, 4}, 0.0, 0.0, inf)) EXPECT_EQ(v, -inf);
  for (const double v : residuals({1, 2}, {3, 4}, 0.0, 0.0, std::nan(""))) {
    EXPECT_TRUE(std::isnan(v));
  }
}

}  // namespace
