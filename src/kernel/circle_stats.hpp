#pragma once
// Radius, rms and covariance of a circle about a given centre, for one point set.
//
// With d_i the distance of point i from the centre: r = mean d_i (for that centre, the radius
// that minimises sum (d_i - r)^2), rms = sqrt(mean e_i^2) with e_i = d_i - r, and the covariance
// of (cx, cy, r) = sigma^2 (J^T J)^-1, J the Jacobian of the residuals e_i at the circle (rows
// -u_i, -v_i, -1 with (u_i, v_i) the unit vector from the centre to point i) and
// sigma^2 = sum e_i^2 / (n - 3). The covariance is NaN for 3 points or fewer, where the residuals
// leave no degrees of freedom to estimate sigma. A point exactly at the centre has no direction:
// its row of J gets u = v = 0.
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
