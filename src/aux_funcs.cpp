#include "aux_funcs.hpp"

#include "host/fault.hpp"

namespace tondra {

double sum_in_order(std::span<const double> values) noexcept {
  double sum = +0.0;
  for (const double v : values) sum += v;
  return sum;
}

std::vector<double> get_circle_centroid(std::vector<double> xs, std::vector<double> ys) {
  const double cx = sum_in_order(xs) / static_cast<double>(xs.size());
  const double cy = sum_in_order(ys) / static_cast<double>(ys.size());
  return {cx, cy};
}

double get_distance(std::span<const double> a, std::span<const double> b) {
  host::check_index(0, a.size());
  host::check_index(0, b.size());
  host::check_index(1, a.size());
  host::check_index(1, b.size());
  return distance(a[0], a[1], b[0], b[1]);
}

}  // namespace tondra
