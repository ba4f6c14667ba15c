#include "normalised_frame.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using tondra::NormalisedFrame;

TEST(NormalisedFrame, CentresOnTheMeanAndScalesToUnitRmsDistance) {
  const std::vector<double> xs = {1.0, 3.0, 1.0, 3.0};
  const std::vector<double> ys = {2.0, 2.0, 4.0, 4.0};
  const NormalisedFrame f = NormalisedFrame::of(xs, ys);
  EXPECT_EQ(f.x0, 2.0);
  EXPECT_EQ(f.y0, 3.0);
  EXPECT_EQ(f.scale, std::sqrt(2.0));  // every point is sqrt(2) from (2, 3)
  const std::vector<double> u = f.to_frame_x(xs);
  const std::vector<double> v = f.to_frame_y(ys);
  double rms = 0.0;
  for (std::size_t i = 0; i < u.size(); ++i) rms += u[i] * u[i] + v[i] * v[i];
  EXPECT_DOUBLE_EQ(rms / 4.0, 1.0);
}

TEST(NormalisedFrame, UsesTheCommonPointsButMapsEveryElement) {
  const std::vector<double> xs = {0.0, 2.0, 100.0};
  const std::vector<double> ys = {0.0, 0.0};
  const NormalisedFrame f = NormalisedFrame::of(xs, ys);
  EXPECT_EQ(f.x0, 1.0);
  EXPECT_EQ(f.y0, 0.0);
  EXPECT_EQ(f.scale, 1.0);
  EXPECT_EQ(f.to_frame_x(xs), (std::vector<double>{-1.0, 1.0, 99.0}));
}

TEST(NormalisedFrame, FallsBackToUnitScaleWhenTheSpreadIsUnusable) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const NormalisedFrame none = NormalisedFrame::of({}, {});
  EXPECT_EQ(none.x0, 0.0);
  EXPECT_EQ(none.y0, 0.0);
  EXPECT_EQ(none.scale, 1.0);
  EXPECT_EQ(NormalisedFrame::of(std::vector<double>{5.0, 5.0}, std::vector<double>{1.0, 1.0}).scale, 1.0);
  EXPECT_EQ(NormalisedFrame::of(std::vector<double>{0.0, nan}, std::vector<double>{1.0, 2.0}).scale, 1.0);
  EXPECT_EQ(NormalisedFrame::of(std::vector<double>{0.0, inf}, std::vector<double>{1.0, 2.0}).scale, 1.0);
}

TEST(NormalisedFrame, ScalingTheDataByAPowerOfTwoScalesTheFrameExactly) {
  const std::vector<double> xs = {0.1, 0.7, -1.3, 2.9, 0.31};
  const std::vector<double> ys = {1.1, -0.2, 0.45, 0.05, 3.3};
  std::vector<double> xs8, ys8;
  for (const double x : xs) xs8.push_back(x * 8.0);
  for (const double y : ys) ys8.push_back(y * 8.0);
  const NormalisedFrame f = NormalisedFrame::of(xs, ys);
  const NormalisedFrame g = NormalisedFrame::of(xs8, ys8);
  EXPECT_EQ(g.x0, 8.0 * f.x0);
  EXPECT_EQ(g.y0, 8.0 * f.y0);
  EXPECT_EQ(g.scale, 8.0 * f.scale);
  EXPECT_EQ(g.to_frame_x(xs8), f.to_frame_x(xs));
  EXPECT_EQ(g.from_frame(0.25, -3.0)[0], 8.0 * f.from_frame(0.25, -3.0)[0]);
}

}  // namespace
