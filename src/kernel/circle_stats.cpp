#include "kernel/circle_stats.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

#include "kernel/covariance.hpp"
#include "kernel/extreme_scale.hpp"
#include "kernel/numbers.hpp"

namespace tondra::kit {
namespace {

// The points go through the first pass block by block: a loop without sums can run two points
// at a time (the square root and the divisions dominate), and the sums still run in index order.
constexpr std::size_t kBlock = 64;

// The statistics on the offsets as given (no rescaling; cov_exponent 0). Two passes: the
// distances and the direction sums, which need no radius, then the residuals about the mean
// distance.
CircleStats plain_stats(const ScaledOffsets& offsets, std::vector<double>& distances) {
  const std::size_t count = offsets.size();
  const double n = static_cast<double>(count);
  distances.resize(count);
  double total = +0.0;
  DirectionSums s;
  std::array<double, kBlock> us, vs;
  for (std::size_t start = 0; start < count; start += kBlock) {
    const std::size_t size = std::min(kBlock, count - start);
    double* d = distances.data() + start;
    for (std::size_t k = 0; k < size; ++k) {
      const double dx = offsets.dx(start + k);
      const double dy = offsets.dy(start + k);
      d[k] = std::sqrt(dx * dx + dy * dy);
      // d = 0 only where dx = dy = 0 (or their squares underflow), so dividing by 1 there gives
      // the zero direction.
      const double safe = d[k] > 0.0 ? d[k] : 1.0;
      us[k] = dx / safe;
      vs[k] = dy / safe;
    }
    for (std::size_t k = 0; k < size; ++k) {
      const double u = us[k];
      const double v = vs[k];
      total += d[k];
      s.suu += u * u;
      s.suv += u * v;
      s.svv += v * v;
      s.su += u;
      s.sv += v;
    }
  }
  CircleStats stats;
  stats.r = total / n;
  double see = +0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const double e = distances[i] - stats.r;
    see += e * e;
  }
  stats.cov = cofactor_covariance(see, s, count);
  stats.rms = std::sqrt(see / n);
  return stats;
}

// Python's max of two floats: the first unless the second is greater (NaN first stays).
double first_max(double a, double b) noexcept { return b > a ? b : a; }

// The largest |x - cx| (halves subtracted, which cannot overflow), NaN if any is NaN.
double largest_half_offset(std::span<const double> values, double centre) noexcept {
  double m = -kInfinity;
  for (const double v : values) {
    const double offset = std::fabs(v * 0.5 - centre * 0.5);
    if (offset > m || offset != offset) m = offset;
    if (m != m) break;
  }
  return m;
}

}  // namespace

CircleStats circle_stats(std::span<const double> x, std::span<const double> y, double cx, double cy,
                         std::vector<double>& distances) {
  CircleStats stats = plain_stats(ScaledOffsets(x, y, cx, cy, 0), distances);
  if (!out_of_range(stats.r)) return stats;
  // k puts the largest offset into [1, 2) after scaling; offsets that give no scale (all zero,
  // or a non-finite centre) leave the plain results, which no rescaling would change.
  const double m = first_max(largest_half_offset(x, cx), largest_half_offset(y, cy));
  if (!(m > 0.0 && std::isfinite(m))) return stats;
  const int k = frexp_exponent(m);
  stats = plain_stats(ScaledOffsets(x, y, cx, cy, k), distances);
  stats.r = std::ldexp(stats.r, k);
  stats.rms = std::ldexp(stats.rms, k);
  stats.cov_exponent = k;
  return stats;
}

}  // namespace tondra::kit
