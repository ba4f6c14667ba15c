#pragma once
// What a caller may know about a set beyond its points: a weight per point, and bounds on the
// radius (a known radius being bounds that meet). A fit given none of them is the plain fit of
// set_fit.hpp, to the bit; one given any goes through known_fit.hpp.
//
// The kit checks the values once for every entry point: weights finite, not negative and not
// all 0, one per point; 0 <= lo <= hi, hi > 0, lo finite. The engine takes them as checked.

#include <limits>
#include <span>

namespace tondra::kit {

struct RadiusBounds {
  double lo = 0.0;                                      // 0: no lower bound
  double hi = std::numeric_limits<double>::infinity();  // infinity: no upper bound

  bool any() const noexcept { return lo > 0.0 || hi < std::numeric_limits<double>::infinity(); }
  bool contain(double r) const noexcept { return r >= lo && r <= hi; }
  bool bounded_above() const noexcept { return hi < std::numeric_limits<double>::infinity(); }
};

struct Knowns {
  std::span<const double> weights;  // one per point; empty: all points alike
  RadiusBounds bounds;

  bool any() const noexcept { return !weights.empty() || bounds.any(); }
};

}  // namespace tondra::kit
