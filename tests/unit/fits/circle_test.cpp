#include "fits/circle.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "fault_capture.hpp"
#include "fits/point_geometry.hpp"

namespace {

using tondra::Circle;
using tondra::testing::fault_message;
using Vec = std::vector<double>;

constexpr double kInf = std::numeric_limits<double>::infinity();

double cost_at(const Circle& c, const Vec& param) { return c.cost(param).value(); }
Vec gradient_at(const Circle& c, const Vec& param) { return c.gradient(param).value().to_std(); }

TEST(Distance, IsEuclideanWithoutScaling) {
  EXPECT_EQ(tondra::distance(3.0, 4.0, 0.0, 0.0), 5.0);
  EXPECT_EQ(tondra::distance(1e200, 0.0, 0.0, 0.0), kInf);
}

TEST(Circle, CostIsZeroWhenAllPointsAreEquallyFar) {
  const Circle c({1.0, 0.0, -1.0, 0.0}, {0.0, 1.0, 0.0, -1.0});
  EXPECT_EQ(cost_at(c, {0.0, 0.0}), 0.0);
}

TEST(Circle, CostIsASumOfSquaredDeviationsNotAMean) {
  // Distances 0 and 2, mean 1: (0 - 1)^2 + (2 - 1)^2.
  const Circle c({0.0, 2.0}, {0.0, 0.0});
  EXPECT_EQ(cost_at(c, {0.0, 0.0}), 2.0);
  EXPECT_EQ(c.mean_distance_to_center(Vec{0.0, 0.0}), 2.0);
}

TEST(Circle, UsesOnlyTheCommonPrefixOfUnequalLengths) {
  const Circle c({0.0, 2.0, 100.0}, {0.0, 0.0});
  EXPECT_EQ(c.size(), 2u);
  EXPECT_EQ(cost_at(c, {0.0, 0.0}), 2.0);
}

TEST(Circle, ExtraParameterElementsAreIgnored) {
  const Circle c({0.0, 2.0, 5.0}, {0.0, 0.0, 1.0});
  EXPECT_EQ(cost_at(c, {0.5, 0.25, 99.0}), cost_at(c, {0.5, 0.25}));
  EXPECT_EQ(gradient_at(c, {0.5, 0.25, 99.0}), gradient_at(c, {0.5, 0.25}));
}

TEST(Circle, NoPointsGiveZeroCostAndGradient) {
  const Circle c({}, {});
  EXPECT_EQ(cost_at(c, {3.0, 4.0}), 0.0);
  EXPECT_EQ(gradient_at(c, {3.0, 4.0}), (Vec{0.0, 0.0}));
  // The gradient does not read its parameter then; the centre is not read either.
  EXPECT_EQ(gradient_at(c, {}), (Vec{0.0, 0.0}));
  EXPECT_EQ(c.mean_distance_to_center(Vec{}), 0.0);
  // Unequal lengths with an empty side also leave no points.
  EXPECT_EQ(cost_at(Circle({1.0, 2.0}, {}), {0.0, 0.0}), 0.0);
}

TEST(Circle, ShortParametersFaultWithTheIndexMessage) {
  const Circle c({1.0, 2.0}, {0.0, 3.0});
  const Circle empty({}, {});
  const std::string len0 = "index out of bounds: the len is 0 but the index is 0";
  const std::string len1 = "index out of bounds: the len is 1 but the index is 1";
  EXPECT_EQ(fault_message([&] { (void)c.cost(Vec{}); }), len0);
  EXPECT_EQ(fault_message([&] { (void)c.cost(Vec{1.0}); }), len1);
  EXPECT_EQ(fault_message([&] { (void)empty.cost(Vec{1.0}); }), len1);
  EXPECT_EQ(fault_message([&] { (void)c.gradient(Vec{}); }), len0);
  EXPECT_EQ(fault_message([&] { (void)c.gradient(Vec{1.0}); }), len1);
  EXPECT_EQ(fault_message([&] { (void)c.mean_distance_to_center(Vec{}); }), len0);
  EXPECT_EQ(fault_message([&] { (void)c.mean_distance_to_center(Vec{1.0}); }), len1);
}

TEST(Circle, CostMatchesTheAllocatingFormulaBitForBit) {
  // The straightforward form: one distance vector, a point and a centre copy per distance.
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-50.0, 50.0);
  Vec xs(257), ys(250);
  for (double& x : xs) x = u(rng);
  for (double& y : ys) y = u(rng);
  const Vec centre{u(rng), u(rng)};
  Vec distances;
  for (std::size_t i = 0; i < ys.size(); ++i) {
    distances.push_back(tondra::distance(xs[i], ys[i], centre[0], centre[1]));
  }
  const double mean = tondra::sum_in_order(distances) / static_cast<double>(distances.size());
  double expected = 0.0;
  for (const double d : distances) expected += (d - mean) * (d - mean);
  EXPECT_EQ(cost_at(Circle(xs, ys), centre), expected);
}

TEST(Circle, EvaluationsDoNotDependOnWhatWasEvaluatedBefore) {
  // The distances of the last centre are reused; a stale reuse would show up here.
  const Vec xs = {0.5, 2.0, -1.0, 3.5, 0.25};
  const Vec ys = {1.0, -2.0, 0.75, 2.5, -0.5};
  const Vec a = {0.1, 0.2};
  const Vec b = {0.1, 0.20000000000000004};  // one ulp away from a
  const Vec minus_zero = {-0.0, 0.0};
  const Vec plus_zero = {0.0, 0.0};
  const Circle fresh(xs, ys);
  const Vec gradient_a = Circle(xs, ys).gradient(a).value().to_std();
  const Vec gradient_b = Circle(xs, ys).gradient(b).value().to_std();
  const double cost_b = Circle(xs, ys).cost(b).value();
  const Circle reused(xs, ys);
  (void)reused.cost(a).value();
  EXPECT_EQ(reused.gradient(a).value(), gradient_a);
  EXPECT_EQ(reused.gradient(b).value(), gradient_b);
  EXPECT_EQ(reused.cost(b).value(), cost_b);
  EXPECT_EQ(reused.gradient(a).value(), gradient_a);
  (void)reused.cost(minus_zero).value();
  EXPECT_EQ(reused.gradient(plus_zero).value(), fresh.gradient(plus_zero).value());
}

TEST(Circle, GradientAtAPointOnTheCentreAveragesTheOneSidedSlopes) {
  // Along x near 0 the cost is 2 for cx < 0 and 2(1 - cx)^2 for cx > 0: slopes 0 and -4.
  const Circle c({0.0, 2.0}, {0.0, 0.0});
  EXPECT_EQ(gradient_at(c, {0.0, 0.0}), (Vec{-2.0, 0.0}));
}

// Central differences of the cost; step and tolerance sized for costs of order 1e2: truncation is
// O(h^2), rounding O(eps * cost / h) ~ 1e-9, and a point at the centre adds an O(h) kink term.
constexpr double kStep = 1e-5;
constexpr double kGradientTolerance = 1e-5;

Vec central_differences(const Circle& c, const Vec& at) {
  Vec g(2);
  for (std::size_t k = 0; k < 2; ++k) {
    Vec plus = at, minus = at;
    plus[k] += kStep;
    minus[k] -= kStep;
    g[k] = (cost_at(c, plus) - cost_at(c, minus)) / (2.0 * kStep);
  }
  return g;
}

TEST(Circle, GradientAgreesWithCentralDifferences) {
  std::mt19937_64 rng(2024);
  std::uniform_real_distribution<double> u(-3.0, 3.0);
  struct Case {
    std::size_t nx, ny;
    bool centre_on_a_point;
  };
  const Case cases[] = {{5, 5, false}, {12, 9, false}, {7, 11, false}, {8, 8, true}, {3, 6, true}};
  for (const Case& k : cases) {
    Vec xs(k.nx), ys(k.ny);
    for (double& x : xs) x = u(rng);
    for (double& y : ys) y = u(rng);
    const Circle c(xs, ys);
    const Vec at = k.centre_on_a_point ? Vec{xs[1], ys[1]} : Vec{u(rng), u(rng)};
    const Vec analytic = gradient_at(c, at);
    const Vec numeric = central_differences(c, at);
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_NEAR(analytic[i], numeric[i], kGradientTolerance * std::max(1.0, std::abs(numeric[i])))
          << "nx=" << k.nx << " ny=" << k.ny << " component " << i;
    }
  }
}

TEST(Circle, GradientVanishesAtTheCentreOfACircle) {
  // Points exactly on the circle of radius 5 about (1, 2): the true centre is a minimum.
  const Circle c({6.0, 1.0, -4.0, 1.0, 4.0}, {2.0, 7.0, 2.0, -3.0, 6.0});
  EXPECT_EQ(gradient_at(c, {1.0, 2.0}), (Vec{0.0, 0.0}));
  EXPECT_NE(gradient_at(c, {1.5, 2.0})[0], 0.0);
}

}  // namespace
