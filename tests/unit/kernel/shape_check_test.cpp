#include "kernel/shape_check.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using tondra::kit::shape_check;
using tondra::kit::Status;

Status check(const std::vector<double>& x, const std::vector<double>& y) {
  return shape_check(x, y);
}

std::vector<double> times(std::vector<double> v, int e) {
  for (double& d : v) d = std::ldexp(d, e);
  return v;
}

TEST(ShapeCheck, TellsCirclesFromLinesAndSinglePoints) {
  EXPECT_EQ(check({1, 0, -1, 0}, {0, 1, 0, -1}), Status::Ok);
  EXPECT_EQ(check({0.1, 0.1, 0.1, 0.1}, {0.7, 0.7, 0.7, 0.7}), Status::Coincident);
  EXPECT_EQ(check({0, 0, 0}, {0, 0, 0}), Status::Coincident);
  EXPECT_EQ(check({0, 1, 2, 3}, {1, 3, 5, 7}), Status::Collinear);
  EXPECT_EQ(check({0, 1, 2, 3}, {3, 3, 3, 3}), Status::Collinear);
  EXPECT_EQ(check({-7, -7, -7}, {0, 1, 2}), Status::Collinear);
  // Two distinct points, each twice, are on a line.
  EXPECT_EQ(check({0, 0, 1, 1}, {0, 0, 1, 1}), Status::Collinear);
}

TEST(ShapeCheck, CallsPointsRoundedOntoALineCollinearAndAFlatArcRound) {
  std::vector<double> x;
  std::vector<double> y;
  for (int i = 0; i < 20; ++i) {
    x.push_back(0.1 * i);
    y.push_back(0.1 * i * 3.141592653589793 + 2.718281828459045);
  }
  EXPECT_EQ(check(x, y), Status::Collinear);
  // On y = 1, a point raised by one ulp is rounding; raised by 1e-13, a very flat arc.
  EXPECT_EQ(check({0, 1, 2}, {1, 1 + 0x1p-52, 1}), Status::Collinear);
  EXPECT_EQ(check({0, 1, 2}, {1, 1 + 1e-13, 1}), Status::Ok);
  // Near y = 0 a coordinate's rounding is its own: 1e-16 is far above that of 0.
  EXPECT_EQ(check({0, 1, 2}, {0, 1e-16, 0}), Status::Ok);
}

TEST(ShapeCheck, DecidesAlikeWhenTheDataAreScaledByAPowerOfTwo) {
  const std::vector<std::vector<double>> xs = {
      {1, 0, -1, 0}, {0, 1, 2, 3}, {0.1, 0.1, 0.1}, {0, 1, 2}, {0, 1, 2}};
  const std::vector<std::vector<double>> ys = {
      {0, 1, 0, -1}, {1, 3, 5, 7}, {0.7, 0.7, 0.7}, {1, 1 + 0x1p-52, 1}, {1, 1 + 1e-13, 1}};
  for (std::size_t s = 0; s < xs.size(); ++s) {
    const Status plain = check(xs[s], ys[s]);
    for (const int e : {-1000, -600, -300, 300, 600, 1000}) {
      EXPECT_EQ(check(times(xs[s], e), times(ys[s], e)), plain) << "set " << s << ", 2^" << e;
    }
  }
}

TEST(ShapeCheck, CallsPointsApartByLessThanTheSmallestDoubleOfTheirScaleCollinear) {
  // Relative to 1e300 these y differ by less than 2^-1074: lost when scaled, yet not all equal.
  EXPECT_EQ(check({1e300, 1e300, 1e300}, {0.0, 5e-324, 1e-323}), Status::Collinear);
  EXPECT_EQ(check({1e300, 1e300, 1e300}, {5e-324, 5e-324, 5e-324}), Status::Coincident);
  // Sums that overflow are decided on rescaled coordinates.
  EXPECT_EQ(check({1.5e308, 1.5e308, 1.5e308}, {-1.5e308, -1.5e308, -1.5e308}), Status::Coincident);
  EXPECT_EQ(check({1.7e308, -1.7e308, 0.0, 0.0}, {0.0, 0.0, 1.7e308, -1.7e308}), Status::Ok);
}

}  // namespace
