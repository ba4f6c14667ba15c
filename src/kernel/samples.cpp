#include "kernel/samples.hpp"

#include <algorithm>
#include <cmath>

namespace tondra::kit {
namespace {

// A sample's circle of radius above this many times the points' spread is a line to every
// purpose (its points lie within 1e-6 of their spread of a straight line).
constexpr double kMaxRadius = 1e6;

}  // namespace

SampleCircle circumcircle(const std::vector<double>& px, const std::vector<double>& py,
                          const std::size_t i, const std::size_t j, const std::size_t k) {
  const double ax = px[i];
  const double ay = py[i];
  const double bx = px[j] - ax;
  const double by = py[j] - ay;
  const double cx = px[k] - ax;
  const double cy = py[k] - ay;
  const double b2 = bx * bx + by * by;
  const double c2 = cx * cx + cy * cy;
  const double twice_area = 2.0 * (bx * cy - by * cx);
  if (twice_area == 0.0) return {};
  const double ux = (cy * b2 - by * c2) / twice_area;
  const double uy = (bx * c2 - cx * b2) / twice_area;
  const double r = std::sqrt(ux * ux + uy * uy);
  if (!(r <= kMaxRadius)) return {};
  return {ax + ux, ay + uy, r};
}

std::array<std::size_t, 3> draw_triple(SampleStream& stream, const std::uint64_t n) {
  const std::uint64_t a = stream.below(n);
  std::uint64_t b = stream.below(n - 1);
  std::uint64_t c = stream.below(n - 2);
  b += b >= a ? 1 : 0;  // skips a
  const std::uint64_t lo = std::min(a, b);
  const std::uint64_t hi = std::max(a, b);
  c += c >= lo ? 1 : 0;  // skips lo, then hi, in increasing order
  c += c >= hi ? 1 : 0;
  return {static_cast<std::size_t>(a), static_cast<std::size_t>(b), static_cast<std::size_t>(c)};
}

std::array<std::size_t, 2> draw_pair(SampleStream& stream, const std::uint64_t n) {
  const std::uint64_t a = stream.below(n);
  std::uint64_t b = stream.below(n - 1);
  b += b >= a ? 1 : 0;
  return {static_cast<std::size_t>(a), static_cast<std::size_t>(b)};
}

std::array<SampleCircle, 2> circles_of_radius(const std::vector<double>& px,
                                              const std::vector<double>& py, const std::size_t i,
                                              const std::size_t j, const double r) {
  const double dx = px[j] - px[i];
  const double dy = py[j] - py[i];
  const double chord = std::sqrt(dx * dx + dy * dy);
  const double half = 0.5 * chord;
  if (!(chord > 0.0) || !(half <= r)) return {};
  const double offset = std::sqrt((r - half) * (r + half)) / chord;
  const double mx = px[i] + 0.5 * dx;
  const double my = py[i] + 0.5 * dy;
  return {SampleCircle{mx - offset * dy, my + offset * dx, r},
          SampleCircle{mx + offset * dy, my - offset * dx, r}};
}

double trials_needed(const double inlier_ratio, const double confidence, const int size) {
  const double p_good =
      size == 2 ? inlier_ratio * inlier_ratio : inlier_ratio * inlier_ratio * inlier_ratio;
  if (p_good >= 1.0) return 1.0;
  if (p_good <= 0.0) return std::numeric_limits<double>::infinity();
  return std::ceil(std::log(1.0 - confidence) / std::log1p(-p_good));
}

}  // namespace tondra::kit
