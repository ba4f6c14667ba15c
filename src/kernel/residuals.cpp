#include "kernel/residuals.hpp"

#include <cmath>
#include <cstddef>

#include "kernel/extreme_scale.hpp"

namespace tondra::kit {

void circle_residuals(std::span<const double> x, std::span<const double> y, double cx, double cy,
                      double r, std::span<double> out) noexcept {
  if (!out_of_range(r)) {
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double dx = x[i] - cx;
      const double dy = y[i] - cy;
      out[i] = std::sqrt(dx * dx + dy * dy) - r;
    }
    return;
  }
  // r in [2^k, 2^(k+1)); zero and infinity count as k = -1.
  const int k = frexp_exponent(r) - 1;
  const ScaledOffsets offsets(x, y, cx, cy, k);
  const double scaled_r = std::ldexp(r, -k);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double dx = offsets.dx(i);
    const double dy = offsets.dy(i);
    out[i] = std::ldexp(std::sqrt(dx * dx + dy * dy) - scaled_r, k);
  }
}

}  // namespace tondra::kit
