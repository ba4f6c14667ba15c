#include "engine/grouping.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using tondra::kit::gather_groups;

struct Table {
  std::vector<double> x, y;
  std::vector<std::int64_t> codes, offsets;
};

// `rows` rows spread over `groups` groups in a scrambled order; x is the row's index and y its
// negation, so that an output tells where each value came from.
Table scrambled(std::size_t rows, std::size_t groups) {
  Table t;
  t.offsets.assign(groups + 1, 0);
  for (std::size_t i = 0; i < rows; ++i) {
    const auto g = static_cast<std::int64_t>((i * 7919) % groups);
    t.codes.push_back(g);
    t.x.push_back(static_cast<double>(i));
    t.y.push_back(-static_cast<double>(i));
    ++t.offsets[static_cast<std::size_t>(g) + 1];
  }
  for (std::size_t g = 0; g < groups; ++g) t.offsets[g + 1] += t.offsets[g];
  return t;
}

TEST(GatherGroups, PutsRowsInGroupOrderKeepingTheirOrderOnOneThreadOrTwo) {
  // Large enough for the second thread.
  const Table t = scrambled(100'003, 977);
  for (const bool two_threads : {false, true}) {
    std::vector<double> gx(t.x.size()), gy(t.y.size());
    ASSERT_TRUE(gather_groups(t.x, t.y, t.codes, t.offsets, gx, gy, two_threads));
    for (std::size_t g = 0; g + 1 < t.offsets.size(); ++g) {
      const auto first = static_cast<std::size_t>(t.offsets[g]);
      const auto stop = static_cast<std::size_t>(t.offsets[g + 1]);
      for (std::size_t k = first; k < stop; ++k) {
        const auto row = static_cast<std::size_t>(gx[k]);
        ASSERT_EQ(t.codes[row], static_cast<std::int64_t>(g)) << k;
        ASSERT_EQ(gy[k], -gx[k]) << k;
        if (k > first) {
          ASSERT_LT(gx[k - 1], gx[k]) << "rows out of order at " << k;
        }
      }
    }
  }
}

TEST(GatherGroups, RefusesCodesThatDoNotMatchTheOffsets) {
  for (const bool two_threads : {false, true}) {
    Table t = scrambled(70'000, 10);
    std::vector<double> gx(t.x.size()), gy(t.y.size());
    const std::int64_t own = t.codes[69'999];
    t.codes[69'999] = 10;  // no such group
    EXPECT_FALSE(gather_groups(t.x, t.y, t.codes, t.offsets, gx, gy, two_threads));
    t.codes[69'999] = -1;
    EXPECT_FALSE(gather_groups(t.x, t.y, t.codes, t.offsets, gx, gy, two_threads));
    t.codes[69'999] = (own + 1) % 10;  // another group gets a row too many
    EXPECT_FALSE(gather_groups(t.x, t.y, t.codes, t.offsets, gx, gy, two_threads));
    EXPECT_FALSE(gather_groups(t.x, t.y, t.codes, {}, gx, gy, two_threads));
  }
}

}  // namespace
