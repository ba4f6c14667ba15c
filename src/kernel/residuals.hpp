#pragma once
// Signed distances of points from a circle, |p - c| - r (positive outside), computed directly as
// sqrt(dx*dx + dy*dy) - r (no hypot, whose last bit libraries differ on).
//
// A circle whose r is outside the plain range (extreme_scale.hpp), where those squares would
// overflow or underflow, is worked on as its offsets and radius times the power of two that
// brings r into [1, 2), and the residuals scaled back. A NaN radius takes the plain arithmetic;
// an infinite one gives residuals of -infinity (NaN where a point is infinite too).

#include <span>

namespace tondra::kit {

// Assumes x.size() == y.size() == out.size(). Allocates nothing.
void circle_residuals(std::span<const double> x, std::span<const double> y, double cx, double cy,
                      double r, std::span<double> out) noexcept;

}  // namespace tondra::kit
