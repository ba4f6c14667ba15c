#pragma once
// The sample stream of the robust fits: xoshiro256** seeded through SplitMix64, with bounded
// integers by Lemire's multiply-and-reject method. It is ours rather than the standard library's
// because the standard fixes neither std::uniform_int_distribution's algorithm nor its output,
// and the same seed has to give the same samples with every compiler and library.
//
// A stream is a plain value: it holds 32 bytes of state, allocates nothing and shares nothing,
// so each fit makes its own from the seed and gets the same samples on any thread.

#include <array>
#include <cstdint>

namespace tondra::kit {

class SampleStream {
 public:
  // The state is four successive outputs of SplitMix64 started at `seed`, which is never all
  // zero (the one state xoshiro cannot leave), and differs widely for neighbouring seeds.
  explicit SampleStream(std::uint64_t seed) noexcept;

  // The next 64 uniform bits.
  std::uint64_t next() noexcept;

  // Uniform over [0, bound), exactly: the few products that would favour some values are
  // drawn again. Assumes bound > 0.
  std::uint64_t below(std::uint64_t bound) noexcept;

 private:
  std::array<std::uint64_t, 4> state_;
};

}  // namespace tondra::kit
