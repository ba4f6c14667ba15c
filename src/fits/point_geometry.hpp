#pragma once
// Point geometry shared by the fits.

#include <span>
#include <vector>

#include "base/coordinate_view.hpp"

namespace tondra {

using base::CoordinateView;

// Sum of the elements in index order from +0.0 (no pairwise or compensated summation: the order
// of the additions is part of every result built on it).
double sum_in_order(std::span<const double> values) noexcept;

// [mean of xs, mean of ys], each over its own length: no coordinates give NaN for their mean,
// and unequal lengths are accepted.
std::vector<double> centroid(CoordinateView xs, CoordinateView ys);

// Euclidean distance, computed directly as sqrt(dx*dx + dy*dy): no scaling, so squares that
// overflow give infinity.
inline double distance(double ax, double ay, double bx, double by) noexcept {
  const double dx = ax - bx;
  const double dy = ay - by;
  return __builtin_sqrt(dx * dx + dy * dy);
}

}  // namespace tondra
