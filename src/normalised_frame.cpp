#include "normalised_frame.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tondra {
namespace {

std::vector<double> shifted_scaled(std::vector<double> values, double origin, double scale) {
  for (double& v : values) v = (v - origin) / scale;
  return values;
}

}  // namespace

NormalisedFrame NormalisedFrame::of(std::span<const double> xs, std::span<const double> ys) noexcept {
  const std::size_t n = std::min(xs.size(), ys.size());
  if (n == 0) return NormalisedFrame{};
  const double count = static_cast<double>(n);
  double sx = +0.0;
  double sy = +0.0;
  for (std::size_t i = 0; i < n; ++i) sx += xs[i];
  for (std::size_t i = 0; i < n; ++i) sy += ys[i];
  const double x0 = sx / count;
  const double y0 = sy / count;
  double acc = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double dx = xs[i] - x0;
    const double dy = ys[i] - y0;
    acc = acc + (dx * dx + dy * dy);
  }
  double scale = std::sqrt(acc / count);
  if (!(scale > 0.0) || !std::isfinite(scale)) scale = 1.0;
  return NormalisedFrame{x0, y0, scale};
}

std::vector<double> NormalisedFrame::to_frame_x(std::vector<double> xs) const {
  return shifted_scaled(std::move(xs), x0, scale);
}

std::vector<double> NormalisedFrame::to_frame_y(std::vector<double> ys) const {
  return shifted_scaled(std::move(ys), y0, scale);
}

std::vector<double> NormalisedFrame::from_frame(double c0, double c1) const {
  const double px = scale * c0;
  const double py = scale * c1;
  return {x0 + px, y0 + py};
}

}  // namespace tondra
