#include "base/coordinate_view.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

namespace {

using tondra::base::CoordinateView;

TEST(CoordinateView, ViewsAVectorInOrder) {
  const std::vector<double> values = {1.5, -0.0, 3.25};
  const CoordinateView view(values);
  ASSERT_EQ(view.size(), 3U);
  EXPECT_EQ(view[0], 1.5);
  EXPECT_TRUE(std::signbit(view[1]));
  EXPECT_EQ(view[2], 3.25);
  EXPECT_TRUE(CoordinateView().empty());
}

// Host memory: the x column of (x, y) pairs read backwards, starting one byte into a buffer, so
// that no element is aligned for a double.
TEST(CoordinateView, ReadsUnalignedElementsAtANegativeStride) {
  const std::array<double, 6> pairs = {1.0, 10.0, 2.0, 20.0, 3.0, 30.0};
  std::array<std::byte, sizeof pairs + 1> memory{};
  std::memcpy(memory.data() + 1, pairs.data(), sizeof pairs);
  const auto view = CoordinateView::strided(memory.data() + 1 + 4 * sizeof(double),
                                            -2 * static_cast<std::ptrdiff_t>(sizeof(double)), 3);
  ASSERT_EQ(view.size(), 3U);
  EXPECT_EQ(view[0], 3.0);
  EXPECT_EQ(view[1], 2.0);
  EXPECT_EQ(view[2], 1.0);
}

}  // namespace
