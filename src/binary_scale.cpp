#include "binary_scale.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tondra {
namespace {

double largest_of(std::span<const double> values, double largest, bool& finite) noexcept {
  for (const double v : values) {
    finite = finite && std::isfinite(v);
    largest = std::max(largest, std::fabs(v));
  }
  return largest;
}

}  // namespace

double largest_magnitude(std::span<const double> xs, std::span<const double> ys) noexcept {
  bool finite = true;
  const double largest = largest_of(ys, largest_of(xs, 0.0, finite), finite);
  return finite ? largest : std::numeric_limits<double>::infinity();
}

int binary_exponent(const double largest) noexcept { return std::ilogb(largest); }

void scale_by_power_of_two(std::vector<double>& values, const int e) noexcept {
  for (double& v : values) v = std::ldexp(v, -e);
}

}  // namespace tondra
