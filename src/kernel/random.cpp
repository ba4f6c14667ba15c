#include "kernel/random.hpp"

namespace tondra::kit {
namespace {

__extension__ using Wide = unsigned __int128;  // both compilers have it; ISO C++ does not

constexpr std::uint64_t rotl(const std::uint64_t v, const int k) noexcept {
  return (v << k) | (v >> (64 - k));
}

std::uint64_t split_mix(std::uint64_t& s) noexcept {
  s += 0x9e3779b97f4a7c15u;
  std::uint64_t z = s;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

}  // namespace

SampleStream::SampleStream(std::uint64_t seed) noexcept {
  for (std::uint64_t& word : state_) word = split_mix(seed);
}

std::uint64_t SampleStream::next() noexcept {
  const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
  const std::uint64_t t = state_[1] << 17;
  state_[2] ^= state_[0];
  state_[3] ^= state_[1];
  state_[1] ^= state_[2];
  state_[0] ^= state_[3];
  state_[2] ^= t;
  state_[3] = rotl(state_[3], 45);
  return result;
}

// The high word of next() * bound is uniform over [0, bound) once the low words below
// 2^64 mod bound are rejected: every value then has exactly floor(2^64 / bound) preimages.
// The remainder needs a division, paid only when the low word is small enough to be a candidate.
std::uint64_t SampleStream::below(const std::uint64_t bound) noexcept {
  Wide m = static_cast<Wide>(next()) * bound;
  auto low = static_cast<std::uint64_t>(m);
  if (low < bound) {
    const std::uint64_t reject_below = (0 - bound) % bound;  // 2^64 mod bound
    while (low < reject_below) {
      m = static_cast<Wide>(next()) * bound;
      low = static_cast<std::uint64_t>(m);
    }
  }
  return static_cast<std::uint64_t>(m >> 64);
}

}  // namespace tondra::kit
