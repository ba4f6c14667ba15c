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
std::vector<double> get_circle_centroid(CoordinateView xs, CoordinateView ys);

// Euclidean distance between (a[0], a[1]) and (b[0], b[1]); further elements are ignored.
// Computed directly as sqrt(dx*dx + dy*dy): no scaling, so squares that overflow give infinity.
// Faults with the index message when a or b has fewer than two elements (checked a[0], b[0],
// a[1], b[1] in that order).
double get_distance(std::span<const double> a, std::span<const double> b);

// The same formula on two points given by their coordinates, for the hot loops.
inline double distance(double ax, double ay, double bx, double by) noexcept {
  const double dx = ax - bx;
  const double dy = ay - by;
  return __builtin_sqrt(dx * dx + dy * dy);
}

}  // namespace tondra
