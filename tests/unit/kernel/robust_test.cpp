#include "kernel/robust.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

namespace {

using tondra::kit::fit_set_robust;
using tondra::kit::RobustFit;
using tondra::kit::RobustOptions;
using tondra::kit::RobustWorkspace;
using tondra::kit::Status;

struct Points {
  std::vector<double> x;
  std::vector<double> y;
  std::vector<std::uint8_t> outlier;
};

constexpr double kCx = 3.0;
constexpr double kCy = -2.0;
constexpr double kR = 5.0;
// Radial noise of the inliers, uniform in [-kNoise, kNoise]: bounded, so that no inlier strays
// beyond any threshold of 2.5 robust sigmas, and the inliers are known exactly.
constexpr double kNoise = 1e-3;

double uniform(std::mt19937_64& bits, double lo, double hi) {
  const double u = static_cast<double>(bits() >> 11) * 0x1p-53;
  return lo + (hi - lo) * u;
}

double distance_from_circle(double x, double y, double cx, double cy, double r) {
  return std::fabs(std::hypot(x - cx, y - cy) - r);
}

// A 240-degree arc of `inliers` points about (kCx, kCy) and `outliers` points in the box around
// it, each at least 0.5 from the circle.
Points arc_with_outliers(int inliers, int outliers, std::uint64_t seed) {
  std::mt19937_64 bits(seed);
  Points p;
  for (int i = 0; i < inliers; ++i) {
    const double angle = (4.0 * std::numbers::pi / 3.0) * i / (inliers - 1);
    const double radius = kR + uniform(bits, -kNoise, kNoise);
    p.x.push_back(kCx + radius * std::cos(angle));
    p.y.push_back(kCy + radius * std::sin(angle));
    p.outlier.push_back(0);
  }
  while (static_cast<int>(p.x.size()) < inliers + outliers) {
    const double x = uniform(bits, kCx - 2.0 * kR, kCx + 2.0 * kR);
    const double y = uniform(bits, kCy - 2.0 * kR, kCy + 2.0 * kR);
    if (distance_from_circle(x, y, kCx, kCy, kR) < 0.5) continue;
    p.x.push_back(x);
    p.y.push_back(y);
    p.outlier.push_back(1);
  }
  return p;
}

std::int64_t count_set(const std::vector<std::uint8_t>& mask) {
  std::int64_t count = 0;
  for (const std::uint8_t m : mask) count += m != 0 ? 1 : 0;
  return count;
}

struct Outcome {
  RobustFit result;
  std::vector<std::uint8_t> inliers;
};

Outcome run(const Points& p, const RobustOptions& options, RobustWorkspace& work) {
  Outcome out;
  out.inliers.assign(p.x.size(), 7);  // anything the fit does not write shows
  out.result = fit_set_robust(p.x, p.y, options, out.inliers, work);
  return out;
}

Outcome run(const Points& p, const RobustOptions& options = {}) {
  RobustWorkspace work;
  return run(p, options, work);
}

TEST(RobustFit, ArcWithThirtyPercentOutliersIsRecoveredAndEveryOutlierMarked) {
  const Points p = arc_with_outliers(70, 30, 1);
  const Outcome out = run(p);
  ASSERT_EQ(out.result.fit.status, Status::Ok);
  // The centre of 70 points with noise of standard deviation kNoise / sqrt(3) is off by a few
  // 1e-4; anything near the noise itself would mean an outlier got in.
  EXPECT_NEAR(out.result.fit.cx, kCx, kNoise);
  EXPECT_NEAR(out.result.fit.cy, kCy, kNoise);
  EXPECT_NEAR(out.result.fit.stats.r, kR, kNoise);
  for (std::size_t i = 0; i < p.x.size(); ++i) {
    EXPECT_EQ(out.inliers[i], p.outlier[i] != 0 ? 0 : 1) << "point " << i;
  }
  EXPECT_EQ(out.result.fit.n, 70);
  EXPECT_EQ(count_set(out.inliers), out.result.fit.n);
  // 2.5 sigma of uniform noise lies between its bound and the outliers' distance.
  EXPECT_GT(out.result.threshold, kNoise);
  EXPECT_LT(out.result.threshold, 0.5);
  EXPECT_GE(out.result.trials, 64);
}

TEST(RobustFit, SameSeedGivesSameBitsWhateverTheWorkspaceHeldBefore) {
  const Points p = arc_with_outliers(50, 25, 2);
  RobustOptions options;
  options.seed = 99;
  const Outcome first = run(p, options);
  RobustWorkspace used;
  static_cast<void>(run(arc_with_outliers(300, 10, 3), options, used));
  const Outcome second = run(p, options, used);
  ASSERT_EQ(first.result.fit.status, Status::Ok);
  EXPECT_EQ(first.result.fit.cx, second.result.fit.cx);
  EXPECT_EQ(first.result.fit.cy, second.result.fit.cy);
  EXPECT_EQ(first.result.fit.stats.r, second.result.fit.stats.r);
  EXPECT_EQ(first.result.fit.stats.rms, second.result.fit.stats.rms);
  EXPECT_EQ(first.result.threshold, second.result.threshold);
  EXPECT_EQ(first.result.trials, second.result.trials);
  EXPECT_EQ(first.inliers, second.inliers);
}

// A power of two changes no bit of the points' frame, so the samples, the inliers and the
// number of trials are the same, and the refits scale exactly.
TEST(RobustFit, PointsScaledByAPowerOfTwoGiveTheScaledFit) {
  const Points p = arc_with_outliers(60, 20, 5);
  Points big = p;
  for (double& v : big.x) v = std::ldexp(v, 300);
  for (double& v : big.y) v = std::ldexp(v, 300);
  const Outcome small_fit = run(p);
  const Outcome big_fit = run(big);
  ASSERT_EQ(big_fit.result.fit.status, Status::Ok);
  EXPECT_EQ(big_fit.inliers, small_fit.inliers);
  EXPECT_EQ(big_fit.result.trials, small_fit.result.trials);
  EXPECT_EQ(big_fit.result.fit.cx, std::ldexp(small_fit.result.fit.cx, 300));
  EXPECT_EQ(big_fit.result.fit.stats.r, std::ldexp(small_fit.result.fit.stats.r, 300));
  EXPECT_EQ(big_fit.result.threshold, std::ldexp(small_fit.result.threshold, 300));
}

TEST(RobustFit, GivenThresholdIsUsedAsGiven) {
  Points p = arc_with_outliers(60, 20, 6);
  // Four points 0.3 off the arc: outliers to an estimated threshold, inliers to 0.5.
  for (const double angle : {0.5, 1.5, 2.5, 3.5}) {
    p.x.push_back(kCx + (kR + 0.3) * std::cos(angle));
    p.y.push_back(kCy + (kR + 0.3) * std::sin(angle));
    p.outlier.push_back(1);
  }
  const Outcome estimated = run(p);
  ASSERT_EQ(estimated.result.fit.status, Status::Ok);
  EXPECT_EQ(estimated.result.fit.n, 60);

  RobustOptions options;
  options.threshold = 0.5;
  const Outcome given = run(p, options);
  ASSERT_EQ(given.result.fit.status, Status::Ok);
  EXPECT_EQ(given.result.threshold, 0.5);
  EXPECT_EQ(given.result.fit.n, 64);
  EXPECT_EQ(count_set(given.inliers), 64);
  const auto& fit = given.result.fit;
  for (std::size_t i = 0; i < p.x.size(); ++i) {
    const bool within = distance_from_circle(p.x[i], p.y[i], fit.cx, fit.cy, fit.stats.r) <= 0.5;
    EXPECT_EQ(given.inliers[i], within ? 1 : 0) << "point " << i;
  }
}

// A point on the circle opposite the middle of the arc, 60 degrees beyond its end, would pull
// the fit towards it; it is dropped, while the ends of the arc, with neighbours on one side,
// are kept.
TEST(RobustFit, CandidateAloneAlongTheCircleIsNotAnInlier) {
  Points p = arc_with_outliers(60, 20, 8);
  const double far_angle = 2.0 * std::numbers::pi / 3.0 + std::numbers::pi;
  p.x.push_back(kCx + kR * std::cos(far_angle));
  p.y.push_back(kCy + kR * std::sin(far_angle));
  const Outcome out = run(p);
  ASSERT_EQ(out.result.fit.status, Status::Ok);
  EXPECT_EQ(out.inliers.back(), 0);
  EXPECT_EQ(out.result.fit.n, 60);
  EXPECT_EQ(out.inliers[0], 1);
  EXPECT_EQ(out.inliers[59], 1);
}

TEST(RobustFit, SetsWithoutACircleGetTheirStatusAndNoInliers) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    Points points;
    Status status;
  };
  const std::vector<Case> cases = {
      {{{1.0, 2.0}, {3.0, 4.0}, {}}, Status::TooFew},
      {{{0.0, 1.0, 2.0, 3.0, 4.0}, {1.0, 3.0, 5.0, 7.0, 9.0}, {}}, Status::Collinear},
      {{{2.5, 2.5, 2.5, 2.5}, {-1.0, -1.0, -1.0, -1.0}, {}}, Status::Coincident},
      {{{0.0, 1.0, 0.0, 5.0}, {0.0, 0.0, nan, 1.0}, {}}, Status::NotFinite},
  };
  for (const Case& c : cases) {
    const Outcome out = run(c.points);
    EXPECT_EQ(out.result.fit.status, c.status);
    EXPECT_EQ(out.result.fit.n, static_cast<std::int64_t>(c.points.x.size()));
    EXPECT_EQ(out.result.trials, 0);
    EXPECT_EQ(count_set(out.inliers), 0);
    EXPECT_EQ(out.inliers, std::vector<std::uint8_t>(c.points.x.size(), 0));
  }
}

// A thousand points on a line and one off it: a single sample almost surely takes three of the
// line's points, which determine no circle.
TEST(RobustFit, OnlyCollinearSamplesGiveNoSampleWithTheirCount) {
  Points p;
  for (int i = 0; i < 1000; ++i) {
    p.x.push_back(i);
    p.y.push_back(2.0 * i);
  }
  p.x.push_back(10.0);
  p.y.push_back(0.0);
  RobustOptions options;
  options.max_trials = 1;
  const Outcome out = run(p, options);
  EXPECT_EQ(out.result.fit.status, Status::NoSample);
  EXPECT_EQ(out.result.trials, 1);
  EXPECT_EQ(count_set(out.inliers), 0);
}

// No point lies within 1e-300 of a circle through noisy points, not even the sample's own.
TEST(RobustFit, ThresholdBelowRoundingLeavesTooFewInliers) {
  const Points p = arc_with_outliers(30, 10, 7);
  RobustOptions options;
  options.threshold = 1e-300;
  const Outcome out = run(p, options);
  EXPECT_EQ(out.result.fit.status, Status::TooFewInliers);
  EXPECT_LT(out.result.fit.n, 3);
  EXPECT_EQ(out.result.threshold, 1e-300);
  EXPECT_EQ(count_set(out.inliers), out.result.fit.n);
}

}  // namespace
