#include "kernel/arc_coverage.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "kernel/arc_points.hpp"

namespace {

using kit_test::Arc;
using tondra::kit::arc_coverage;
using Vec = std::vector<double>;

constexpr double kPi = std::numbers::pi;
// Angles from atan2 of exact-looking data are right to a few ulps of pi.
constexpr double kAngle = 1e-13;
// An angle computed once from exact-looking data, against the definition in long double: the
// result is 2 pi less a gap, so its rounding is that of numbers near 2 pi.
constexpr double kFewUlpsOfTurn = 4.0 * 8.881784197001252e-16;

Arc arc_points(double cx, double cy, double r, double from, double to, int n, double noise = 0.0,
               unsigned seed = 1) {
  return kit_test::points_on_arc(cx, cy, r, from, to - from, n - 1, n, noise, seed);
}

TEST(ArcCoverage, MeasuresTheArcWithoutItsLargestGap) {
  Vec scratch;
  const Arc third = arc_points(5.0, -3.0, 2.0, 0.5, 0.5 + 2.0 * kPi / 3.0, 7);
  EXPECT_NEAR(arc_coverage(third.x, third.y, 5.0, -3.0, scratch), 2.0 * kPi / 3.0, kAngle);
  // Across the branch cut of atan2 (from 150 to 250 degrees).
  const Arc cut = arc_points(0.0, 0.0, 1.0, 5.0 * kPi / 6.0, 25.0 * kPi / 18.0, 9);
  EXPECT_NEAR(arc_coverage(cut.x, cut.y, 0.0, 0.0, scratch), 5.0 * kPi / 9.0, kAngle);
  // Evenly round: every gap is 2 pi / n.
  const Arc ring = arc_points(0.0, 0.0, 1.0, 0.0, 2.0 * kPi * 11.0 / 12.0, 12);
  EXPECT_NEAR(arc_coverage(ring.x, ring.y, 0.0, 0.0, scratch), 2.0 * kPi * 11.0 / 12.0, kAngle);
}

TEST(ArcCoverage, EdgesGiveZeroOrNan) {
  Vec scratch;
  // One direction only (a point at the centre has none).
  EXPECT_EQ(arc_coverage(Vec{1, 2, 0}, Vec{1, 2, 0}, 0.0, 0.0, scratch), 0.0);
  EXPECT_EQ(arc_coverage(Vec{1}, Vec{1}, 0.0, 0.0, scratch), 0.0);
  EXPECT_EQ(arc_coverage(Vec{}, Vec{}, 0.0, 0.0, scratch), 0.0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(std::isnan(arc_coverage(Vec{1, nan}, Vec{1, 2}, 0.0, 0.0, scratch)));
  EXPECT_TRUE(std::isnan(arc_coverage(Vec{1, 2}, Vec{1, 2}, nan, 0.0, scratch)));
}

// The definition itself: every direction's angle, sorted, 2 pi less the largest gap, all in
// long double from the differences as given.
double sorted_angles_coverage(const Vec& x, const Vec& y, double cx, double cy) {
  std::vector<long double> angles;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const long double du = static_cast<long double>(x[i]) - cx;
    const long double dv = static_cast<long double>(y[i]) - cy;
    if (du == 0.0L && dv == 0.0L) continue;
    angles.push_back(std::atan2(dv, du));
  }
  if (angles.size() < 2) return 0.0;
  std::sort(angles.begin(), angles.end());
  const long double turn = 2.0L * std::numbers::pi_v<long double>;
  long double gap = (angles.front() + turn) - angles.back();
  for (std::size_t i = 1; i < angles.size(); ++i) gap = std::max(gap, angles[i] - angles[i - 1]);
  return static_cast<double>(turn - gap);
}

// The buckets must never hide the largest gap: sets of every shape, from 1 to 3000 points, at
// scales far from 1, checked against the definition.
TEST(ArcCoverage, AgreesWithTheSortedAnglesOnSetsOfEveryShape) {
  std::mt19937_64 gen(5);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::normal_distribution<double> normal(0.0, 1.0);
  Vec scratch;
  for (int set = 0; set < 4000; ++set) {
    const int shape = set % 7;
    const int n = 1 + static_cast<int>(std::exp(uniform(gen) * std::log(3000.0)));
    const double scale = std::pow(10.0, 20.0 * (uniform(gen) - 0.5));
    const double cx = scale * normal(gen);
    const double cy = scale * normal(gen);
    const double start = 2.0 * kPi * uniform(gen);
    double span = 2.0 * kPi * uniform(gen);
    if (shape == 1) span = std::pow(10.0, -16.0 * uniform(gen));  // down to rounding
    if (shape == 2) span = 2.0 * kPi;
    const double cluster[3] = {start, start + 2.0 * kPi * uniform(gen), start + 1.0};
    Vec x, y;
    for (int i = 0; i < n; ++i) {
      if (shape == 3 && i > 0 && uniform(gen) < 0.5) {  // duplicates
        x.push_back(x.back());
        y.push_back(y.back());
        continue;
      }
      if (shape == 4 && uniform(gen) < 0.2) {  // at the centre
        x.push_back(cx);
        y.push_back(cy);
        continue;
      }
      double t = start + span * uniform(gen);
      if (shape == 5) t = cluster[i % 3] + 1e-6 * normal(gen);
      if (shape == 6) t = start + span * std::floor(7.0 * uniform(gen)) / 7.0;  // few directions
      const double r = scale * std::exp(normal(gen));
      x.push_back(cx + r * std::cos(t));
      y.push_back(cy + r * std::sin(t));
    }
    EXPECT_NEAR(arc_coverage(x, y, cx, cy, scratch), sorted_angles_coverage(x, y, cx, cy),
                kFewUlpsOfTurn)
        << "set " << set << " shape " << shape << " n " << n;
  }
  // Evenly round, where every gap ties with the largest.
  for (const int n : {2, 3, 4, 7, 100, 1001}) {
    const Arc ring = arc_points(1.0, -1.0, 3.0, 0.0, 2.0 * kPi * (n - 1) / n, n);
    EXPECT_NEAR(arc_coverage(ring.x, ring.y, 1.0, -1.0, scratch),
                sorted_angles_coverage(ring.x, ring.y, 1.0, -1.0), kFewUlpsOfTurn)
        << n;
  }
}

TEST(ArcCoverage, TakesDirectionsWhoseDifferencesOverflow) {
  Vec scratch;
  const double big = 1.5e308;
  // Seen from (-big, 0): along +u, and at 45 degrees.
  EXPECT_NEAR(arc_coverage(Vec{big, 0.0}, Vec{0.0, big}, -big, 0.0, scratch), kPi / 4.0, kAngle);
  // A point at the centre among them changes nothing; one infinite coordinate anywhere is NaN.
  EXPECT_NEAR(arc_coverage(Vec{big, -big, 0.0}, Vec{0.0, 0.0, big}, -big, 0.0, scratch), kPi / 4.0,
              kAngle);
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(std::isnan(arc_coverage(Vec{1, 2, 3}, Vec{1, inf, 3}, 0.0, 0.0, scratch)));
}

}  // namespace
