#pragma once
// Whether any method's centre is a least-squares minimum of the geometric cost. The judgement
// works in the unit frame of the points (unit_frame.hpp), so it is relative to the data's own
// size and nothing overflows on the way. x and y must have the same length.

#include <span>

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

}  // namespace tondra::kit
