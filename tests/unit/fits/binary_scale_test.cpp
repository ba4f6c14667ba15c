#include "fits/binary_scale.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace {

using tondra::binary_exponent;
using tondra::largest_magnitude;
using tondra::scaled_by_power_of_two;

TEST(BinaryScale, LargestMagnitudeReadsEveryElementOfBothVectors) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(largest_magnitude(std::vector<double>{}, std::vector<double>{}), 0.0);
  EXPECT_EQ(largest_magnitude(std::vector<double>{1.0, -3.0}, std::vector<double>{2.0, 0.5, -7.5}),
            7.5);
  EXPECT_EQ(largest_magnitude(std::vector<double>{1.0, nan}, std::vector<double>{2.0}), inf);
  EXPECT_EQ(largest_magnitude(std::vector<double>{1.0}, std::vector<double>{2.0, -inf}), inf);
}

TEST(BinaryScale, ExponentPutsTheLargestValueIntoOneToTwo) {
  EXPECT_EQ(binary_exponent(1.0), 0);
  EXPECT_EQ(binary_exponent(1.999), 0);
  EXPECT_EQ(binary_exponent(0.5), -1);
  EXPECT_EQ(binary_exponent(std::numeric_limits<double>::max()), 1023);
  EXPECT_EQ(binary_exponent(std::numeric_limits<double>::min()), -1022);
  EXPECT_EQ(binary_exponent(std::numeric_limits<double>::denorm_min()), -1074);
}

TEST(BinaryScale, ScalingIsExactAcrossTheWholeRange) {
  const std::vector<double> values = {std::numeric_limits<double>::max(), -0x1.8p1000, 0.0};
  EXPECT_EQ(scaled_by_power_of_two(values, 1023),
            (std::vector<double>{0x1.fffffffffffffp0, -0x1.8p-23, 0.0}));
  const std::vector<double> tiny = {std::numeric_limits<double>::denorm_min(), 0x1.8p-1070};
  EXPECT_EQ(scaled_by_power_of_two(tiny, -1074), (std::vector<double>{1.0, 24.0}));
}

}  // namespace
