#include "fits/binary_scale.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tondra {
namespace {

double largest_of(const CoordinateView values, double largest, bool& finite) noexcept {
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double v = values[i];
    finite = finite && std::isfinite(v);
    largest = std::max(largest, std::fabs(v));
  }
  return largest;
}

}  // namespace

double largest_magnitude(const CoordinateView xs, const CoordinateView ys) noexcept {
  bool finite = true;
  const double largest = largest_of(ys, largest_of(xs, 0.0, finite), finite);
  return finite ? largest : std::numeric_limits<double>::infinity();
}

int binary_exponent(const double largest) noexcept { return std::ilogb(largest); }

std::vector<double> scaled_by_power_of_two(const CoordinateView values, const int e) {
  std::vector<double> scaled;
  scaled.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) scaled.push_back(std::ldexp(values[i], -e));
  return scaled;
}

}  // namespace tondra
