#include "kernel/plane_length.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using tondra::kit::plane_length;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(PlaneLength, ScalesExactlyOverTheWholeRangeOfDoubles) {
  EXPECT_EQ(plane_length(3.0, -4.0), 5.0);
  EXPECT_EQ(plane_length(-0.0, 0.0), 0.0);
  // 3-4-5 times powers of two from subnormal to near the largest double: where the squares
  // would overflow or underflow, and where the smaller side is subnormal.
  for (const int e : {-1074 + 3, -1040, -600, -501, 499, 600, 1020}) {
    EXPECT_EQ(plane_length(std::ldexp(3.0, e), std::ldexp(4.0, e)), std::ldexp(5.0, e)) << e;
  }
  EXPECT_EQ(plane_length(std::ldexp(1.0, 1000), std::ldexp(1.0, -1000)), std::ldexp(1.0, 1000));
  EXPECT_EQ(plane_length(std::numeric_limits<double>::max(), 0.0),
            std::numeric_limits<double>::max());
  EXPECT_EQ(plane_length(std::numeric_limits<double>::denorm_min(), 0.0),
            std::numeric_limits<double>::denorm_min());
}

TEST(PlaneLength, IsInfiniteForAnInfinityEvenBesideNaNAndNaNOtherwise) {
  EXPECT_EQ(plane_length(kInf, kNaN), kInf);
  EXPECT_EQ(plane_length(kNaN, -kInf), kInf);
  EXPECT_EQ(plane_length(1.0, kInf), kInf);
  for (const double other : {0.0, 1.0, 1e300, 1e-320}) {
    EXPECT_TRUE(std::isnan(plane_length(kNaN, other))) << other;
    EXPECT_TRUE(std::isnan(plane_length(other, kNaN))) << other;
  }
}

}  // namespace
