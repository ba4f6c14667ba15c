#pragma once
// The length of a vector of the plane, sqrt(a^2 + b^2), where the C library's hypot would do.
// hypot's bits depend on the library's version, and the newest version of its symbol would make
// the engine refuse to load on older systems; this is the same on every machine. Within
// [2^-500, 2^500] the squares can neither overflow nor lose the larger one to underflow, and
// the plain formula is used; outside, both are first scaled by the same exact power of two.

#include <cmath>
#include <limits>

namespace tondra::kit {

// Infinite if either is infinite (even with a NaN), NaN if either is NaN otherwise.
inline double plane_length(double a, double b) noexcept {
  a = std::fabs(a);
  b = std::fabs(b);
  if (std::isinf(a) || std::isinf(b)) return std::numeric_limits<double>::infinity();
  const double larger = a > b ? a : b;  // NaN if b is NaN, or a if only a is
  if (larger >= 0x1p-500 && larger <= 0x1p500) return std::sqrt(a * a + b * b);
  if (!(larger > 0.0)) return larger == 0.0 && !std::isnan(a) ? 0.0 : a + b;  // zero or NaN
  // Scaled so that the larger lies in [1, 2): exact, short of the smaller becoming subnormal,
  // which then adds nothing the rounding would keep.
  const int k = std::ilogb(larger);
  const double sa = std::ldexp(a, -k);
  const double sb = std::ldexp(b, -k);
  return std::ldexp(std::sqrt(sa * sa + sb * sb), k);
}

}  // namespace tondra::kit
