#pragma once
// Radius, rms and covariance of a circle about a given centre, for one point set.
//
// With d_i the distance of point i from the centre: r = mean d_i (for that centre, the radius
// that minimises sum (d_i - r)^2), rms = sqrt(mean e_i^2) with e_i = d_i - r, and the covariance
// of (cx, cy, r) in the cofactor form (covariance.hpp), from the sums of the same pass.
//
// A set whose r is outside the plain range (extreme_scale.hpp) is computed on its offsets times
// 2^-k, k the exponent of the largest offset, and r, rms scaled back; its covariance is then given
// in units of 4^k (cov_exponent = k), since the variances of a circle of radius 1e200 are no
// doubles while its standard errors are. A non-finite centre gives NaN or infinite results and
// no rescaling.

#include <span>
#include <vector>

#include "kernel/set_fit.hpp"

namespace tondra::kit {

// Assumes x.size() == y.size() >= 1. `distances` is scratch, grown to the number of points.
CircleStats circle_stats(std::span<const double> x, std::span<const double> y, double cx, double cy,
                         std::vector<double>& distances);

}  // namespace tondra::kit
