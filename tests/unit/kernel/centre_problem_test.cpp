#include "kernel/centre_problem.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "kernel/unit_frame.hpp"

namespace {

using tondra::kit::CentreNormal;
using tondra::kit::CentreProblem;
using tondra::kit::UnitFrame;
using Vec = std::vector<double>;

// Second differences of the cost with a step of 1e-2 of the spread: truncation near 1e-5 of the
// Hessian and rounding near eps / 1e-4 of the cost (which, far off the circle, is large).
constexpr double kSecondDifference = 1e-4;
constexpr double kStep = 1e-2;
// The one-pass Hessian centres the curvature's sums at the end, the two-pass one each term;
// far off a short arc the Hessian is a small difference of larger terms.
constexpr double kSameHessian = 1e-10;

struct Points {
  Vec x;
  Vec y;
};

Points noisy_arc(double degrees, int n, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> noise(0.0, 0.05);
  Points p;
  for (int i = 0; i < n; ++i) {
    const double t = 0.4 + degrees * (3.141592653589793 / 180.0) * i / (n - 1);
    p.x.push_back(7.0 + 4.0 * std::cos(t) + noise(gen));
    p.y.push_back(-3.0 + 4.0 * std::sin(t) + noise(gen));
  }
  return p;
}

double norm(const std::array<double, 3>& h) {
  return std::fabs(h[0]) + 2.0 * std::fabs(h[1]) + std::fabs(h[2]);
}

// Centres in the frame: near the fitted one, off it, far off along a short arc's axis, and
// exactly on a point (which has no direction).
std::vector<std::array<double, 2>> centres(const UnitFrame& frame, const Points& p) {
  return {{frame.frame_u(7.0), frame.frame_v(-3.0)},
          {frame.frame_u(7.5), frame.frame_v(-2.0)},
          {frame.frame_u(-60.0), frame.frame_v(40.0)},
          {frame.frame_u(p.x[3]), frame.frame_v(p.y[3])}};
}

TEST(CentreProblem, OnePassGivesTheNormalEquationsAndTheHessianOfTwoPasses) {
  for (const double degrees : {10.0, 120.0, 360.0}) {
    const Points p = noisy_arc(degrees, 57, 3);
    const std::optional<UnitFrame> frame = tondra::kit::unit_frame(p.x, p.y);
    ASSERT_TRUE(frame.has_value());
    const CentreProblem problem(*frame, p.x, p.y);
    for (const auto& [a, b] : centres(*frame, p)) {
      const CentreNormal at = problem.evaluate(a, b);
      std::array<double, 3> fused{};
      const CentreNormal once = problem.evaluate_with_hessian(a, b, fused);
      EXPECT_EQ(once.cost, at.cost);
      EXPECT_EQ(once.r, at.r);
      EXPECT_EQ(once.jtj, at.jtj);
      EXPECT_EQ(once.h, at.h);
      const std::array<double, 3> apart = problem.hessian(a, b, at);
      for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(fused[k], apart[k], kSameHessian * norm(apart)) << degrees << " " << k;
      }
    }
  }
}

TEST(CentreProblem, HessianMatchesSecondDifferencesOfTheCost) {
  for (const double degrees : {30.0, 200.0}) {
    const Points p = noisy_arc(degrees, 40, 8);
    const std::optional<UnitFrame> frame = tondra::kit::unit_frame(p.x, p.y);
    ASSERT_TRUE(frame.has_value());
    const CentreProblem problem(*frame, p.x, p.y);
    const std::vector<std::array<double, 2>> all = centres(*frame, p);
    for (std::size_t c = 0; c < 3; ++c) {  // the cost has a kink at a point
      const auto [a, b] = all[c];
      std::array<double, 3> h{};
      (void)problem.evaluate_with_hessian(a, b, h);
      const auto half = [&](double da, double db) { return 0.5 * problem.cost(a + da, b + db); };
      const double s = kStep;
      const std::array<double, 3> differences = {
          (half(s, 0) - 2.0 * half(0, 0) + half(-s, 0)) / (s * s),
          (half(s, s) - half(s, -s) - half(-s, s) + half(-s, -s)) / (4.0 * s * s),
          (half(0, s) - 2.0 * half(0, 0) + half(0, -s)) / (s * s)};
      for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(h[k], differences[k], kSecondDifference * norm(h)) << degrees << " " << c;
      }
    }
  }
}

}  // namespace
