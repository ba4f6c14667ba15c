#pragma once
// The constants every unit of the kernel shares, written once.

#include <limits>
#include <numbers>

namespace tondra::kit {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInfinity = std::numeric_limits<double>::infinity();
inline constexpr double kEps = std::numeric_limits<double>::epsilon();
inline constexpr double kTwoPi = 2.0 * std::numbers::pi;
// The rounding of a residual in the unit frame (unit_frame.hpp), tau: a few eps, the data
// having unit spread there and the residuals being computed without cancellation however far
// the centre.
inline constexpr double kTau = 8.0 * kEps;

}  // namespace tondra::kit
