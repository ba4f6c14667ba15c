#pragma once
// Diagnostics of a fitted circle, for any method's centre: whether it is a least-squares
// minimum, how much of the circle the points cover, and the covariance of (cx, cy, r).
//
// The minimum and the covariance work in the unit frame of the points (unit_frame.hpp), so the
// judgements are relative to the data's own size and nothing overflows on the way. x and y must
// have the same length (a fault otherwise).

#include <array>
#include <span>
#include <vector>

namespace tondra::kit {

// Whether (cx, cy), with r the mean distance, is a minimum of the geometric cost
// sum (d_i - r)^2 to the rounding of the data: the Gauss-Newton step there is shorter than
// 1e-8 of the data's spread plus the centre's distance from them (the centre of a short arc is
// determined less well in proportion), or than what the gradient's rounding alone can put into
// it, and the Hessian has no direction of negative curvature beyond rounding (a saddle's zero
// gradient does not count).
// False for fewer than 3 points, for a coordinate or centre that is not finite, and for
// points that are all equal.
bool is_least_squares_minimum(std::span<const double> x, std::span<const double> y, double cx,
                              double cy);

// The angle in [0, 2 pi] that the points cover about (cx, cy): 2 pi less the largest empty gap
// between their directions seen from there, to within about an ulp of 2 pi. 0 for fewer than 2
// distinct directions (points at the centre have none); NaN for a coordinate or centre that is
// not finite. Takes O(n) time and one arctangent: `scratch` holds the directions' buckets,
// about 8n/3 numbers (grown as needed, kept for reuse). Directions are taken from the differences
// themselves, not from the unit frame, so nothing is lost to the frame's rounding.
double arc_coverage(std::span<const double> x, std::span<const double> y, double cx, double cy,
                    std::vector<double>& scratch);

// sigma^2 (J^T J)^-1 for the residuals e_i = d_i - r with respect to (cx, cy, r), row-major,
// J's rows (-n_i, -1) with n_i the unit vector from the centre to point i, and
// sigma^2 = sum e_i^2 / (n - 3). Computed from the directions' centred sums A (J^T J less its r
// row and column by the Schur complement) through A = L diag(p0, p1) L^T, so that every variance
// is a sum of non-negative terms:
//   Var(c) = sigma^2 A^-1,  Cov(c, r) = -sigma^2 A^-1 m,  Var(r) = sigma^2 (1/n + m^T A^-1 m),
// m the mean direction. All NaN when `converged` is false (the formula describes a minimum
// only), for 3 points or fewer, and for input that is not finite. When the directions do not
// determine the centre (A singular to rounding) the variances are +infinity and the
// covariances NaN.
struct ScaledCovariance {
  std::array<double, 9> cov;  // in units of 4^exponent
  int exponent;
};
ScaledCovariance covariance_at_scaled(std::span<const double> x, std::span<const double> y,
                                      double cx, double cy, double r, bool converged);

// The same in the data's own units (infinite where those variances exceed the doubles).
std::array<double, 9> covariance_at(std::span<const double> x, std::span<const double> y, double cx,
                                    double cy, double r, bool converged);

}  // namespace tondra::kit
