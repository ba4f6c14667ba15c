#include "kernel/weighted_geometric.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <optional>
#include <vector>

#include "kernel/arc_points.hpp"
#include "kernel/geometric.hpp"

namespace {

using kit_test::Arc;
using tondra::kit::geometric_fit;
using tondra::kit::RadiusBounds;
using tondra::kit::weighted_centroid;
using tondra::kit::weighted_geometric_fit;
using tondra::kit::WeightedCircle;
using tondra::kit::WeightedScratch;
using Vec = std::vector<double>;

// Points on a circle give it back to a small multiple of the data's rounding.
constexpr double kExact = 1e-12;
// Two minimisations of one cost agree to rounding, in units of the radius.
constexpr double kSameMinimum = 1e-11;

Arc noisy(double degrees, unsigned seed) {
  return kit_test::evenly_on_arc(0.4, 3.0, -2.0, 5.0, degrees, 20, 0.05, seed);
}

Vec some_weights(std::size_t n) {
  Vec w(n);
  for (std::size_t i = 0; i < n; ++i) w[i] = 0.5 + static_cast<double>((i * 7) % 5);
  return w;
}

TEST(WeightedGeometric, FindsTheCircleThePointsLieOnWhateverTheirWeights) {
  const Arc a = kit_test::evenly_on_arc(0.4, 3.0, -2.0, 5.0, 120.0, 15, 0.0, 1);
  WeightedScratch scratch;
  const WeightedCircle c =
      weighted_geometric_fit(a.x, a.y, some_weights(a.x.size()), {}, std::nullopt, scratch);
  EXPECT_TRUE(c.converged);
  EXPECT_FALSE(c.held);
  EXPECT_NEAR(c.cx, 3.0, kExact * 5.0);
  EXPECT_NEAR(c.cy, -2.0, kExact * 5.0);
  EXPECT_NEAR(c.r, 5.0, kExact * 5.0);
}

TEST(WeightedGeometric, IntegerWeightsAreRepeatedPoints) {
  for (const double degrees : {30.0, 90.0, 360.0}) {
    const Arc a = noisy(degrees, 2);
    Vec w(a.x.size());
    Arc repeated;
    for (std::size_t i = 0; i < a.x.size(); ++i) {
      w[i] = static_cast<double>(1 + i % 3);
      for (std::size_t k = 0; k < 1 + i % 3; ++k) {
        repeated.x.push_back(a.x[i]);
        repeated.y.push_back(a.y[i]);
      }
    }
    WeightedScratch scratch;
    const WeightedCircle c = weighted_geometric_fit(a.x, a.y, w, {}, std::nullopt, scratch);
    const auto plain = geometric_fit(repeated.x, repeated.y);
    EXPECT_NEAR(c.cx, plain.cx, kSameMinimum * plain.r) << degrees;
    EXPECT_NEAR(c.cy, plain.cy, kSameMinimum * plain.r) << degrees;
    EXPECT_NEAR(c.r, plain.r, kSameMinimum * plain.r) << degrees;
  }
}

TEST(WeightedGeometric, HoldsTheRadiusOnABoundWithNoVarianceForIt) {
  const Arc a = noisy(90.0, 3);
  WeightedScratch scratch;
  const Vec w(a.x.size(), 1.0);
  const WeightedCircle held =
      weighted_geometric_fit(a.x, a.y, w, RadiusBounds{4.0, 4.0}, std::nullopt, scratch);
  EXPECT_TRUE(held.held);
  EXPECT_TRUE(held.converged);
  EXPECT_EQ(held.r, 4.0);
  for (const int k : {2, 5, 6, 7, 8}) EXPECT_EQ(held.cov[static_cast<std::size_t>(k)], 0.0) << k;
  EXPECT_GT(held.cov[0], 0.0);
  // The minimum at that radius: the gradient of sum (d_i - 4)^2 vanishes there.
  double ga = 0.0;
  double gb = 0.0;
  for (std::size_t i = 0; i < a.x.size(); ++i) {
    const double d = std::hypot(a.x[i] - held.cx, a.y[i] - held.cy);
    ga += (d - 4.0) * (held.cx - a.x[i]) / d;
    gb += (d - 4.0) * (held.cy - a.y[i]) / d;
  }
  EXPECT_NEAR(ga, 0.0, 1e-12);
  EXPECT_NEAR(gb, 0.0, 1e-12);
}

TEST(WeightedGeometric, BoundsAroundTheFreeMinimumLeaveItAlone) {
  const Arc a = noisy(200.0, 4);
  WeightedScratch scratch;
  const Vec w = some_weights(a.x.size());
  const WeightedCircle free = weighted_geometric_fit(a.x, a.y, w, {}, std::nullopt, scratch);
  const WeightedCircle bounded = weighted_geometric_fit(
      a.x, a.y, w, RadiusBounds{0.5 * free.r, 2.0 * free.r}, std::nullopt, scratch);
  EXPECT_FALSE(bounded.held);
  EXPECT_NEAR(bounded.cx, free.cx, kSameMinimum * free.r);
  EXPECT_NEAR(bounded.r, free.r, kSameMinimum * free.r);
}

TEST(WeightedGeometric, CentroidIsTheWeightedMean) {
  const Vec x = {0.0, 4.0, 1.0};
  const Vec y = {0.0, 0.0, 3.0};
  const Vec w = {1.0, 3.0, 0.0};
  const auto c = weighted_centroid(x, y, w);
  EXPECT_EQ(c[0], 3.0);
  EXPECT_EQ(c[1], 0.0);
}

}  // namespace
