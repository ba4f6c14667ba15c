#include "kit/grouping.hpp"

#include <vector>

namespace tondra::kit {

bool gather_groups(std::span<const double> x, std::span<const double> y,
                   std::span<const std::int64_t> codes, std::span<const std::int64_t> offsets,
                   std::span<double> gx, std::span<double> gy) {
  if (offsets.empty() || x.size() != y.size() || codes.size() != x.size() ||
      gx.size() != x.size() || gy.size() != x.size()) {
    return false;
  }
  const auto groups = static_cast<std::int64_t>(offsets.size() - 1);
  std::vector<std::int64_t> next(offsets.begin(), offsets.end() - 1);
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const std::int64_t g = codes[i];
    if (g < 0 || g >= groups) return false;
    const std::int64_t at = next[static_cast<std::size_t>(g)]++;
    if (at >= offsets[static_cast<std::size_t>(g) + 1]) return false;
    gx[static_cast<std::size_t>(at)] = x[i];
    gy[static_cast<std::size_t>(at)] = y[i];
  }
  return true;
}

}  // namespace tondra::kit
