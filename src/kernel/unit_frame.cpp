#include "kernel/unit_frame.hpp"

#include <algorithm>
#include <cmath>

#include "base/fault.hpp"
#include "fits/binary_scale.hpp"

namespace tondra::kit {
namespace {

// e may reach 1023 (2^-1023 is subnormal, still exact). Below -1022 the factor 2^-e would not be
// a double: data that small are scaled by 2^1022 and the second scaling does the rest.
constexpr int kSmallestFirstExponent = -1022;

}  // namespace

double UnitFrame::data_x(const double u) const noexcept {
  return std::ldexp(std::ldexp(u, f) + mean_x, e);
}

double UnitFrame::data_y(const double v) const noexcept {
  return std::ldexp(std::ldexp(v, f) + mean_y, e);
}

double UnitFrame::data_length(const double length) const noexcept {
  return std::ldexp(length, f + e);
}

std::optional<UnitFrame> unit_frame(const std::span<const double> x,
                                    const std::span<const double> y) {
  if (x.size() != y.size()) base::fault("assertion failed: x.len() == y.len()");
  const std::size_t n = x.size();
  if (n == 0) return std::nullopt;
  const double largest = largest_magnitude(x, y);  // +infinity for a coordinate not finite
  if (!std::isfinite(largest) || largest == 0.0) return std::nullopt;  // or all at the origin

  UnitFrame frame{};
  frame.e = std::max(binary_exponent(largest), kSmallestFirstExponent);
  frame.pre = std::ldexp(1.0, -frame.e);
  double x_sum = +0.0;
  double y_sum = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    x_sum += x[i] * frame.pre;
    y_sum += y[i] * frame.pre;
  }
  frame.mean_x = x_sum / static_cast<double>(n);
  frame.mean_y = y_sum / static_cast<double>(n);
  frame.post = 1.0;
  frame.f = 0;
  double square_sum = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double u = frame.frame_u(x[i]);
    const double v = frame.frame_v(y[i]);
    square_sum += u * u + v * v;
  }
  const double spread = std::sqrt(square_sum / static_cast<double>(n));
  if (!(spread > 0.0)) return std::nullopt;  // all points equal
  frame.f = binary_exponent(spread);
  frame.post = std::ldexp(1.0, -frame.f);
  return frame;
}

}  // namespace tondra::kit
