#include "fits/normalised_frame.hpp"

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
  EXPECT_EQ(NormalisedFrame::of(std::vector<double>{5.0, 5.0}, std::vector<double>{1.0, 1.0}).scale,
            1.0);
  EXPECT_EQ(NormalisedFrame::of(std::vector<double>{0.0, nan}, std::vector<double>{1.0, 2.0}).scale,
            1.0);
  EXPECT_EQ(NormalisedFrame::of(std::vector<double>{0.0, inf}, std::vector<double>{1.0, 2.0}).scale,
            1.0);
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

std::vector<double> times(std::vector<double> values, double factor) {
  for (double& v : values) v *= factor;
  return values;
}

// A circle of radius 2 around (3, -1), sampled away from any axis-aligned point.
const std::vector<double> kXs = {4.9, 3.6, 1.2, 1.5, 4.0};
const std::vector<double> kYs = {-0.4, 0.9, -0.3, -2.3, -2.7};

TEST(NormalisedFrame, OrdinaryDataKeepThePlainFrame) {
  EXPECT_EQ(NormalisedFrame::of(kXs, kYs).exponent, 0);
  EXPECT_EQ(NormalisedFrame::of(times(kXs, 0x1p400), times(kYs, 0x1p400)).exponent, 0);
}

TEST(NormalisedFrame, DataWhoseSquaresOverflowOrUnderflowGiveTheFrameOfTheUnscaledData) {
  const NormalisedFrame plain = NormalisedFrame::of(kXs, kYs);
  for (const double factor : {0x1p512, 0x1p1020, 0x1p-600, 0x1p-1019}) {
    const std::vector<double> xs = times(kXs, factor);
    const std::vector<double> ys = times(kYs, factor);
    const NormalisedFrame f = NormalisedFrame::of(xs, ys);
    EXPECT_NE(f.exponent, 0) << factor;
    // The solver sees the very same numbers, and its answer comes back scaled exactly.
    EXPECT_EQ(f.to_frame_x(xs), plain.to_frame_x(kXs)) << factor;
    EXPECT_EQ(f.to_frame_y(ys), plain.to_frame_y(kYs)) << factor;
    const std::vector<double> back = plain.from_frame(0.375, -1.25);
    EXPECT_EQ(f.from_frame(0.375, -1.25), times(back, factor)) << factor;
  }
}

TEST(NormalisedFrame, SumsBeyondTheLargestDoubleGiveTheMeanOfThePoints) {
  const double big = std::numeric_limits<double>::max() / 2.0;
  const std::vector<double> xs = {big, big * 1.5, big * 1.25, big * 1.5};
  const std::vector<double> ys = {-big, -big, -big * 1.5, -big * 1.5};
  const NormalisedFrame f = NormalisedFrame::of(xs, ys);
  EXPECT_EQ(f.from_frame(0.0, 0.0), (std::vector<double>{big * 1.3125, -big * 1.25}));
  for (const double u : f.to_frame_x(xs)) EXPECT_TRUE(std::isfinite(u));
}

TEST(NormalisedFrame, MapsBackACentreFarBeyondTheDataWhenItIsRepresentable) {
  // The frame's unit times the solver's answer passes the largest double on the way; the sum
  // with the origin does not.
  const double big = std::numeric_limits<double>::max() / 4.0;
  const std::vector<double> xs = {-big * 3.0, -big * 3.0 + big / 1024};
  const std::vector<double> ys = {0.0, 0.0};
  const NormalisedFrame f = NormalisedFrame::of(xs, ys);
  const std::vector<double> centre = f.from_frame(12288.0, 0.0);  // 6 * big from the origin
  EXPECT_TRUE(std::isfinite(centre[0]));
  EXPECT_NEAR(centre[0] / big, 3.0 + 1.0 / 2048, 1e-12);
}

TEST(NormalisedFrame, NonFiniteDataKeepThePlainFrame) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const NormalisedFrame with_nan = NormalisedFrame::of(std::vector<double>{1e300, nan, 1e300},
                                                       std::vector<double>{1e300, 0.0, -1e300});
  EXPECT_EQ(with_nan.exponent, 0);
  EXPECT_TRUE(std::isnan(with_nan.x0));
  EXPECT_EQ(with_nan.scale, 1.0);
  const NormalisedFrame tail_inf =
      NormalisedFrame::of(std::vector<double>{1e-300, 0.0, inf}, std::vector<double>{0.0, 1e-300});
  EXPECT_EQ(tail_inf.exponent, 0);
  EXPECT_EQ(tail_inf.x0, 5e-301);
}

}  // namespace
