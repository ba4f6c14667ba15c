#include "kernel/random.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

using tondra::kit::SampleStream;

// Every robust result depends on these bits; a change of the stream must be deliberate.
TEST(SampleStream, FirstOutputsOfSeedZeroArePinned) {
  SampleStream stream(0);
  EXPECT_EQ(stream.next(), 0x99ec5f36cb75f2b4u);
  EXPECT_EQ(stream.next(), 0xbf6e1f784956452au);
  EXPECT_EQ(stream.next(), 0x1a5f849d4933e6e0u);
}

TEST(SampleStream, NeighbouringSeedsGiveUnrelatedStreams) {
  SampleStream a(12345);
  SampleStream b(12346);
  int equal_bits = 0;
  for (int i = 0; i < 64; ++i) {
    equal_bits += 64 - __builtin_popcountll(a.next() ^ b.next());
  }
  // About half the 4096 bits agree by chance; 4 sigma is 128.
  EXPECT_NEAR(equal_bits, 2048, 128);
}

// 3 * 2^62 is the bound at which the plain high word of next() * bound is most uneven: without
// the rejection, multiples of 3 would come up half the time instead of a third.
TEST(SampleStream, BoundedDrawsAreUniformWhereThePlainProductIsNot) {
  SampleStream stream(7);
  constexpr std::uint64_t kBound = std::uint64_t{3} << 62;
  constexpr int kDraws = 30000;
  std::array<int, 3> by_residue = {0, 0, 0};
  for (int i = 0; i < kDraws; ++i) {
    const std::uint64_t v = stream.below(kBound);
    ASSERT_LT(v, kBound);
    ++by_residue[v % 3];
  }
  // A third each; the standard deviation of a count is about 82, so 400 is about 5 sigma.
  for (const int count : by_residue) EXPECT_NEAR(count, kDraws / 3, 400);
}

}  // namespace
