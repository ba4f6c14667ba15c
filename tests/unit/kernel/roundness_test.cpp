#include "kernel/roundness.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "kernel/min_circle.hpp"

namespace {

using tondra::kit::Reference;
using tondra::kit::Roundness;
using tondra::kit::roundness;
using tondra::kit::RoundnessStatus;

struct Profile {
  std::vector<double> x;
  std::vector<double> y;
};

// r = 1 + a cos(3t) at 36 angles: by symmetry every reference is centred on the origin.
Profile three_lobes(double a) {
  Profile p;
  for (int i = 0; i < 36; ++i) {
    const double t = 2 * std::numbers::pi * i / 36;
    const double r = 1 + a * std::cos(3 * t);
    p.x.push_back(r * std::cos(t));
    p.y.push_back(r * std::sin(t));
  }
  return p;
}

TEST(MinCircle, TakesTheLongestSideOfAnObtuseTriangleAndAllThreeOfAnAcuteOne) {
  std::vector<std::size_t> order;
  const std::vector<long double> u = {0, 1, 0.5L};
  const std::vector<long double> v1 = {0, 0, 0.1L};
  const auto obtuse = tondra::kit::min_circle(u, v1, order);
  EXPECT_EQ(obtuse.supports, 2);
  EXPECT_EQ(obtuse.r2, 0.25L);
  const std::vector<long double> v2 = {0, 0, 0.75L};
  const auto acute = tondra::kit::min_circle(u, v2, order);
  EXPECT_EQ(acute.supports, 3);
  // Centre (1/2, 5/24): r^2 = 1/4 + 25/576 = 169/576.
  EXPECT_NEAR(static_cast<double>(acute.r2), 169.0 / 576.0, 1e-16);
}

TEST(Roundness, ThreeLobesHaveTheirPeaksAndValleysAsCircles) {
  const Profile p = three_lobes(0.05);
  for (const Reference ref : {Reference::Zone, Reference::Circumscribed, Reference::Inscribed}) {
    const Roundness r = roundness(p.x, p.y, ref);
    ASSERT_EQ(r.status, RoundnessStatus::Ok);
    EXPECT_NEAR(r.cx, 0.0, 1e-15);
    EXPECT_NEAR(r.cy, 0.0, 1e-15);
    EXPECT_NEAR(r.inner, 0.95, 1e-15);
    EXPECT_NEAR(r.outer, 1.05, 1e-15);
  }
}

TEST(Roundness, ScalesExactlyByPowersOfTwoAcrossTheRangeOfDoubles) {
  const Profile p = three_lobes(0.02);
  for (const Reference ref : {Reference::Zone, Reference::Circumscribed, Reference::Inscribed}) {
    for (const int e : {-1000, -1, 1, 1000}) {
      Profile s = p;
      for (double& v : s.x) v = std::ldexp(v + 3, e);
      for (double& v : s.y) v = std::ldexp(v, e);
      Profile shifted = p;
      for (double& v : shifted.x) v += 3;
      const Roundness want = roundness(shifted.x, shifted.y, ref);
      const Roundness got = roundness(s.x, s.y, ref);
      EXPECT_EQ(got.cx, std::ldexp(want.cx, e)) << e;
      EXPECT_EQ(got.ront, std::ldexp(want.ront, e)) << e;
      EXPECT_EQ(got.outer, std::ldexp(want.outer, e)) << e;
      EXPECT_EQ(got.support, want.support) << e;
    }
  }
}

TEST(Roundness, ReportsWhatTheShapeLacks) {
  const std::vector<double> line = {0, 1, 2};
  EXPECT_EQ(roundness(line, line, Reference::Zone).status, RoundnessStatus::Shape);
  const std::vector<double> x = {0, 1, 2, 3};
  const std::vector<double> y = {0, 1, 1, 0};
  EXPECT_EQ(roundness(x, y, Reference::Inscribed).status, RoundnessStatus::NotEnclosed);
}

}  // namespace
