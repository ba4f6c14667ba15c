#include "kernel/samples.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

namespace {

using tondra::kit::circles_of_radius;
using tondra::kit::draw_pair;
using tondra::kit::SampleStream;
using tondra::kit::trials_needed;

// Both points lie on each circle to rounding.
constexpr double kOnCircle = 1e-14;

TEST(Samples, BothCirclesOfAKnownRadiusPassThroughThePair) {
  const std::vector<double> x = {0.3, -0.4};
  const std::vector<double> y = {0.1, 0.5};
  const auto circles = circles_of_radius(x, y, 0, 1, 0.6);
  for (const auto& c : circles) {
    EXPECT_EQ(c.r, 0.6);
    for (int i = 0; i < 2; ++i) {
      EXPECT_NEAR(
          std::hypot(x[static_cast<std::size_t>(i)] - c.cx, y[static_cast<std::size_t>(i)] - c.cy),
          0.6, kOnCircle);
    }
  }
  // On opposite sides of the chord.
  const double side0 =
      (x[1] - x[0]) * (circles[0].cy - y[0]) - (y[1] - y[0]) * (circles[0].cx - x[0]);
  const double side1 =
      (x[1] - x[0]) * (circles[1].cy - y[0]) - (y[1] - y[0]) * (circles[1].cx - x[0]);
  EXPECT_LT(side0 * side1, 0.0);
}

TEST(Samples, PointsFartherApartThanTheDiameterGiveNoCircle) {
  const std::vector<double> x = {0.0, 2.0, 0.0};
  const std::vector<double> y = {0.0, 0.0, 0.0};
  for (const auto& c : circles_of_radius(x, y, 0, 1, 0.99)) EXPECT_TRUE(std::isnan(c.r));
  for (const auto& c : circles_of_radius(x, y, 0, 2, 1.0)) EXPECT_TRUE(std::isnan(c.r));
}

TEST(Samples, PairsAreDistinctAndCoverEveryPair) {
  SampleStream stream(7);
  std::set<std::pair<std::size_t, std::size_t>> seen;
  for (int k = 0; k < 2000; ++k) {
    const auto [a, b] = draw_pair(stream, 4);
    ASSERT_NE(a, b);
    ASSERT_LT(a, 4U);
    ASSERT_LT(b, 4U);
    seen.insert({a, b});
  }
  EXPECT_EQ(seen.size(), 12U);  // every ordered pair of 4
}

TEST(Samples, PairsNeedFewerTrialsThanTriples) {
  // log(0.001) / log(1 - 0.4^k): 39.9 for pairs, 104.8 for triples.
  EXPECT_EQ(trials_needed(0.4, 0.999, 2), 40.0);
  EXPECT_EQ(trials_needed(0.4, 0.999, 3), 105.0);
}

}  // namespace
