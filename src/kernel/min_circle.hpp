#pragma once
// The smallest circle enclosing points given in a roundness frame, by Welzl's algorithm in its
// iterative form: the points are taken in a fixed pseudo-random order (the same on every run),
// and each point found outside the circle of those before it becomes a support point of a new
// circle, which then only has to take in the earlier points. Expected time is linear.
//
// Outside means farther from the centre than the radius by more than a few units of the last
// place of the long double frame, which lies well below a double's rounding: a point the
// circle passes through (cocircular points, ties) stays inside, and no rounding of a computed
// centre makes the algorithm chase its own error. The support is the 2 or 3 points that fix
// the final circle.

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace tondra::kit {

struct MinCircle {
  long double u = 0.0L;
  long double v = 0.0L;
  long double r2 = 0.0L;  // squared radius
  std::array<std::size_t, 3> support{};
  int supports = 0;
};

// Relative slack of "inside" on squared frame distances (about 32 long double ulps).
inline constexpr long double kInsideSlack = 0x1p-58L;

// Assumes u.size() == v.size() >= 2. `order` is working space.
MinCircle min_circle(std::span<const long double> u, std::span<const long double> v,
                     std::vector<std::size_t>& order);

}  // namespace tondra::kit
