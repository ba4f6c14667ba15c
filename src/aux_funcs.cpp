#include "aux_funcs.hpp"

#include <algorithm>

#include "base/fault.hpp"

namespace tondra {

double sum_in_order(std::span<const double> values) noexcept {
  double sum = +0.0;
  for (const double v : values) sum += v;
  return sum;
}

std::vector<double> get_circle_centroid(const CoordinateView xs, const CoordinateView ys) {
  // Each sum runs over its own vector in index order from +0.0. Running the two in one loop only
  // lets their additions overlap, which halves the time of these latency-bound chains.
  const std::size_t n = std::min(xs.size(), ys.size());
  double x_sum = +0.0;
  double y_sum = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    x_sum += xs[i];
    y_sum += ys[i];
  }
  for (std::size_t i = n; i < xs.size(); ++i) x_sum += xs[i];
  for (std::size_t i = n; i < ys.size(); ++i) y_sum += ys[i];
  return {x_sum / static_cast<double>(xs.size()), y_sum / static_cast<double>(ys.size())};
}

double get_distance(std::span<const double> a, std::span<const double> b) {
  base::check_index(0, a.size());
  base::check_index(0, b.size());
  base::check_index(1, a.size());
  base::check_index(1, b.size());
  return distance(a[0], a[1], b[0], b[1]);
}

}  // namespace tondra
