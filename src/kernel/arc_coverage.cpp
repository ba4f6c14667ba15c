#include "kernel/arc_coverage.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "base/fault.hpp"
#include "kernel/numbers.hpp"

namespace tondra::kit {
namespace {

// Pseudo-angles: the direction (du, dv) scaled to |du| + |dv| = 1 and named by its place along
// that square, from -2 (excluded) through 0 along +u to 2 along -u. Monotone in the true angle,
// with a slope between 1/2 and 1, and a half turn adds exactly 2.
constexpr double kPseudoTurn = 4.0;
// Differences of pseudo-angles are each rounded by a few ulps of 2.
constexpr double kPseudoSlack = 1e-14;
// Points per block of the arc's first loop, which has no sums and can run two at a time.
constexpr std::size_t kBlock = 64;
// |du| + |dv| beyond this has overflowed (or is NaN).
constexpr double kLargest = std::numeric_limits<double>::max();

// `a` where `pick` holds, else `b`, without a branch: points in no particular order fall on
// either side at random, and a mispredicted branch costs more than the rest of the point.
double select(const bool pick, const double a, const double b) noexcept {
  const std::uint64_t mask = std::uint64_t{0} - static_cast<std::uint64_t>(pick);
  return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & mask) |
                               (std::bit_cast<std::uint64_t>(b) & ~mask));
}

// The pseudo-angle from t = dv / size, in [-1, 1] (size = |du| + |dv|).
double pseudo_angle_of(const double du, const double dv, const double t) noexcept {
  return select(du >= 0.0, t, select(dv >= 0.0, 2.0, -2.0) - t);
}

// Assumes size = |du| + |dv| > 0.
double pseudo_angle(const double du, const double dv, const double size) noexcept {
  return pseudo_angle_of(du, dv, dv / size);
}

// The point of the square at pseudo-angle p.
std::array<double, 2> on_square(const double p) noexcept {
  const double q = std::fabs(p);
  return {1.0 - q, q <= 1.0 ? p : std::copysign(2.0 - q, p)};
}

// A gap between two directions as the rotation from the first to the second, (cosine, sine)
// times a positive factor, and which half turn it lies in.
struct Gap {
  double cosine;
  double sine;
  bool beyond_half_turn;
  double pseudo;  // its pseudo-angle, a lower bound of the rotation
};

// The counter-clockwise gap from pseudo-angle `from` to `to`; `wraps` when it crosses the end
// of the range (or goes all the way round from a bucket to itself).
Gap gap_between(const double from, const double to, const bool wraps) noexcept {
  const std::array<double, 2> a = on_square(from);
  const std::array<double, 2> b = on_square(to);
  const double cosine = a[0] * b[0] + a[1] * b[1];
  const double sine = a[0] * b[1] - a[1] * b[0];
  const double pseudo = wraps ? (to + kPseudoTurn) - from : to - from;
  // Near no rotation and near a whole turn the sine's sign is rounding: the pseudo-angles,
  // which differ by exactly 2 over a half turn, decide which it is.
  const bool beyond = cosine > 0.0 ? pseudo >= 0.5 * kPseudoTurn : sine < 0.0;
  return {cosine, sine, beyond, pseudo};
}

// Whether gap g rotates further than gap h.
bool wider(const Gap& g, const Gap& h) noexcept {
  if (g.beyond_half_turn != h.beyond_half_turn) return g.beyond_half_turn;
  // Within one half turn the order is that of the angle from h to g.
  const double hs = h.beyond_half_turn ? -std::fabs(h.sine) : std::fabs(h.sine);
  const double gs = g.beyond_half_turn ? -std::fabs(g.sine) : std::fabs(g.sine);
  return h.cosine * gs - hs * g.cosine > 0.0;
}

}  // namespace

// The largest gap without sorting. Of m directions, the largest gap is at least 2 pi / m. The
// pseudo-angle turns at least half as fast as the true angle, so with more than 4n/3 buckets
// of equal pseudo-angle (width w = 4 / buckets) two directions in one bucket are at most
// 2 w < 6 / n < 2 pi / m apart: no gap within a bucket is the largest. Each bucket keeps only
// its extreme pseudo-angles, and the largest gap is one from a bucket's largest to the next
// non-empty bucket's smallest (across the end of the range for the last). Those gaps are
// compared by their true angle, through the rotation (cosine, sine) between the two directions
// rebuilt from their pseudo-angles, and only the winner's angle is computed. A gap whose
// pseudo-angle is below half the best one's cannot win and is passed over unmeasured.
double arc_coverage(const std::span<const double> x, const std::span<const double> y,
                    const double cx, const double cy, std::vector<double>& scratch) {
  if (x.size() != y.size()) base::fault("assertion failed: x.len() == y.len()");
  if (!std::isfinite(cx) || !std::isfinite(cy)) return kNaN;
  const std::size_t n = x.size();
  // Bucket k holds the smallest and the largest pseudo-angle that fell into it, at 2k and 2k+1
  // (empty: +inf and -inf).
  const std::size_t buckets = n + n / 3 + 1;
  const double per_unit = static_cast<double>(buckets) / kPseudoTurn;
  scratch.resize(2 * buckets);
  for (std::size_t k = 0; k < buckets; ++k) {
    scratch[2 * k] = kInfinity;
    scratch[2 * k + 1] = -kInfinity;
  }
  std::size_t directions = 0;
  // Block by block: the divisions two points at a time, then the pseudo-angles and buckets.
  std::array<double, kBlock> sizes, ratios;
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t count = std::min(kBlock, n - start);
    for (std::size_t k = 0; k < count; ++k) {
      const double du = x[start + k] - cx;
      const double dv = y[start + k] - cy;
      sizes[k] = std::fabs(du) + std::fabs(dv);
      ratios[k] = dv / sizes[k];
    }
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t i = start + k;
      double p = pseudo_angle_of(x[i] - cx, y[i] - cy, ratios[k]);
      if (!(sizes[k] <= kLargest)) {
        if (!std::isfinite(x[i]) || !std::isfinite(y[i])) return kNaN;
        // The difference overflowed; halving first is exact (the direction is all that counts).
        const double du = 0.5 * x[i] - 0.5 * cx;
        const double dv = 0.5 * y[i] - 0.5 * cy;
        p = pseudo_angle(du, dv, std::fabs(du) + std::fabs(dv));
      } else if (sizes[k] == 0.0) {
        continue;  // at the centre: no direction
      }
      ++directions;
      const std::size_t bucket =
          std::min(static_cast<std::size_t>((p + 0.5 * kPseudoTurn) * per_unit), buckets - 1);
      scratch[2 * bucket] = std::min(scratch[2 * bucket], p);
      scratch[2 * bucket + 1] = std::max(scratch[2 * bucket + 1], p);
    }
  }
  if (directions < 2) return 0.0;

  std::size_t first = 0;
  while (!(scratch[2 * first] <= scratch[2 * first + 1])) ++first;
  std::size_t last = buckets - 1;
  while (!(scratch[2 * last] <= scratch[2 * last + 1])) --last;
  if (first == last && scratch[2 * first] == scratch[2 * first + 1]) return 0.0;  // one direction

  // The gap across the end of the range first: for an arc that does not cross it, that is the
  // largest, and every other gap falls to the cheap bound below.
  Gap best = gap_between(scratch[2 * last + 1], scratch[2 * first], true);
  double prior = scratch[2 * first + 1];
  for (std::size_t k = first + 1; k <= last; ++k) {
    const double from = scratch[2 * k];
    if (!(from <= scratch[2 * k + 1])) continue;
    // The true angle lies between the pseudo-angle and twice that.
    if (2.0 * (from - prior) + kPseudoSlack >= best.pseudo) {
      const Gap gap = gap_between(prior, from, false);
      if (wider(gap, best)) best = gap;
    }
    prior = scratch[2 * k + 1];
  }
  const double rotation = std::atan2(std::fabs(best.sine), best.cosine);  // in [0, pi]
  const double gap = best.beyond_half_turn ? kTwoPi - rotation : rotation;
  return std::clamp(kTwoPi - gap, 0.0, kTwoPi);
}

}  // namespace tondra::kit
