#pragma once
// Whether one point set can determine a circle at all: Status::Coincident when every point is
// the same, Status::Collinear when the points lie on a line to the rounding of their
// coordinates, Status::Ok otherwise.
//
// Collinear means: the RMS distance of the points from their principal axis (through their mean)
// is at most a few ulps of the coordinates' magnitude, each coordinate weighted by how much it
// counts across that axis. Points rounded onto a line keep such a spread; anything clearly above
// it is a circle, however flat. The axis comes from the 2x2 scatter matrix by arithmetic alone.
//
// A set whose scatter is outside the plain range (extreme_scale.hpp) is decided on its
// coordinates times the power of two that brings the largest into [0.5, 1): the decision does not
// change when every coordinate is scaled by a power of two, so it is the one the plain arithmetic
// would make without over- and underflow.

#include <span>

#include "kernel/status.hpp"

namespace tondra::kit {

// Assumes x.size() == y.size() >= 1 and finite coordinates. Allocates nothing.
Status shape_check(std::span<const double> x, std::span<const double> y) noexcept;

// Whether every value is finite (neither NaN nor infinite).
bool all_finite(std::span<const double> values) noexcept;

}  // namespace tondra::kit
