#include "fits/normalised_frame.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/pages.hpp"
#include "fits/binary_scale.hpp"

namespace tondra {
namespace {

constexpr double kSmallestNormal = std::numeric_limits<double>::min();

// A product or quotient is exact under scaling by a power of two unless it leaves the normal
// range; a zero stays zero.
bool normal_or_zero(double v) { return v == 0.0 || std::fabs(v) >= kSmallestNormal; }

struct Candidate {
  NormalisedFrame frame;
  // No sum overflowed and no mean, square or mean square fell below the normal range, so every
  // number of the frame is exactly 2^e times what 2^-e times the data would give.
  bool exact = true;
};

// The frame of the values read(xs[i]), read(ys[i]); read is the identity or an exact rescaling.
template <class Read>
Candidate frame_of(const CoordinateView xs, const CoordinateView ys, std::size_t n, Read read) {
  const double count = static_cast<double>(n);
  double sx = +0.0;
  double sy = +0.0;
  for (std::size_t i = 0; i < n; ++i) sx += read(xs[i]);
  for (std::size_t i = 0; i < n; ++i) sy += read(ys[i]);
  const double x0 = sx / count;
  const double y0 = sy / count;
  double acc = +0.0;
  bool squares_normal = true;
  for (std::size_t i = 0; i < n; ++i) {
    const double dx = read(xs[i]) - x0;
    const double dy = read(ys[i]) - y0;
    const double dx2 = dx * dx;
    const double dy2 = dy * dy;
    squares_normal = squares_normal && (dx == 0.0 || dx2 >= kSmallestNormal) &&
                     (dy == 0.0 || dy2 >= kSmallestNormal);
    acc = acc + (dx2 + dy2);
  }
  const double mean_square = acc / count;
  double scale = std::sqrt(mean_square);
  if (!(scale > 0.0) || !std::isfinite(scale)) scale = 1.0;
  // The tails of the longer vector are mapped too; only their differences could overflow.
  bool tails_finite = true;
  for (std::size_t i = n; i < xs.size(); ++i)
    tails_finite = tails_finite && std::isfinite(read(xs[i]) - x0);
  for (std::size_t i = n; i < ys.size(); ++i)
    tails_finite = tails_finite && std::isfinite(read(ys[i]) - y0);
  const bool exact = std::isfinite(sx) && std::isfinite(sy) && (sx == 0.0 || normal_or_zero(x0)) &&
                     (sy == 0.0 || normal_or_zero(y0)) && squares_normal && std::isfinite(acc) &&
                     (acc == 0.0 || mean_square >= kSmallestNormal) && tails_finite;
  return Candidate{NormalisedFrame{x0, y0, scale, 0}, exact};
}

std::vector<double> shifted_scaled(const CoordinateView values, double origin, double scale,
                                   int exponent) {
  std::vector<double> mapped;
  mapped.reserve(values.size());
  base::prepare_pages(mapped);
  if (exponent == 0) {
    for (std::size_t i = 0; i < values.size(); ++i) mapped.push_back((values[i] - origin) / scale);
  } else {
    for (std::size_t i = 0; i < values.size(); ++i) {
      mapped.push_back((std::ldexp(values[i], -exponent) - origin) / scale);
    }
  }
  return mapped;
}

}  // namespace

NormalisedFrame NormalisedFrame::of(const CoordinateView xs, const CoordinateView ys) noexcept {
  const std::size_t n = std::min(xs.size(), ys.size());
  if (n == 0) return NormalisedFrame{};
  const Candidate plain = frame_of(xs, ys, n, [](double v) { return v; });
  if (plain.exact) return plain.frame;
  const double largest = largest_magnitude(xs, ys);
  // NaN and infinities keep the plain frame and the failures it has always led to.
  if (!std::isfinite(largest) || largest == 0.0) return plain.frame;
  const int e = binary_exponent(largest);
  NormalisedFrame rescaled = frame_of(xs, ys, n, [e](double v) { return std::ldexp(v, -e); }).frame;
  rescaled.exponent = e;
  return rescaled;
}

std::vector<double> NormalisedFrame::to_frame_x(const CoordinateView xs) const {
  return shifted_scaled(xs, x0, scale, exponent);
}

std::vector<double> NormalisedFrame::to_frame_y(const CoordinateView ys) const {
  return shifted_scaled(ys, y0, scale, exponent);
}

std::vector<double> NormalisedFrame::from_frame(double c0, double c1) const {
  const double px = scale * c0;
  const double py = scale * c1;
  const double cx = x0 + px;
  const double cy = y0 + py;
  if (exponent == 0) return {cx, cy};
  return {std::ldexp(cx, exponent), std::ldexp(cy, exponent)};
}

}  // namespace tondra
