#include "kernel/roundness_frame.hpp"

#include <algorithm>
#include <cmath>

#include "base/fault.hpp"

namespace tondra::kit {
namespace {

// The middle of [lo, hi], rounded down to a multiple of 2^(scale - 12).
double rounded_middle(double lo, double hi, int scale) {
  const double middle = lo / 2 + hi / 2;  // halves first: lo + hi may overflow
  const double unit = std::ldexp(1.0, scale - 12);
  const double units = middle / unit;
  // A middle that far beyond the unit is a multiple of it already.
  if (unit == 0.0 || !std::isfinite(units)) return middle;
  return std::floor(units) * unit;
}

int exponent_of(long double v) {
  int e = 0;
  static_cast<void>(std::frexp(v, &e));
  return e;
}

}  // namespace

double RoundnessFrame::data_x(long double fu) const noexcept {
  return static_cast<double>(std::ldexp(fu, e) + mid_x);
}
double RoundnessFrame::data_y(long double fv) const noexcept {
  return static_cast<double>(std::ldexp(fv, e) + mid_y);
}
double RoundnessFrame::data_length(long double length) const noexcept {
  return static_cast<double>(std::ldexp(length, e));
}
long double RoundnessFrame::frame_u(double x) const noexcept {
  return std::ldexp(static_cast<long double>(x) - mid_x, -e);
}
long double RoundnessFrame::frame_v(double y) const noexcept {
  return std::ldexp(static_cast<long double>(y) - mid_y, -e);
}

RoundnessFrame roundness_frame(std::span<const double> x, std::span<const double> y) {
  if (x.size() != y.size() || x.empty()) base::fault("roundness_frame: bad point arrays");
  const auto [x_lo, x_hi] = std::minmax_element(x.begin(), x.end());
  const auto [y_lo, y_hi] = std::minmax_element(y.begin(), y.end());
  // The spread's exponent, from the halves so that it cannot overflow.
  const double spread = std::max(*x_hi / 2 - *x_lo / 2, *y_hi / 2 - *y_lo / 2);
  if (!(spread > 0.0)) base::fault("roundness_frame: the points coincide");
  const int scale = exponent_of(spread) + 1;
  RoundnessFrame frame;
  frame.mid_x = rounded_middle(*x_lo, *x_hi, scale);
  frame.mid_y = rounded_middle(*y_lo, *y_hi, scale);
  long double largest = 0.0L;
  for (std::size_t i = 0; i < x.size(); ++i) {
    largest = std::max(largest, std::fabs(static_cast<long double>(x[i]) - frame.mid_x));
    largest = std::max(largest, std::fabs(static_cast<long double>(y[i]) - frame.mid_y));
  }
  frame.e = exponent_of(largest);  // largest * 2^-e lies in [0.5, 1)
  frame.e -= 1;
  frame.u.resize(x.size());
  frame.v.resize(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    frame.u[i] = frame.frame_u(x[i]);
    frame.v[i] = frame.frame_v(y[i]);
  }
  return frame;
}

}  // namespace tondra::kit
