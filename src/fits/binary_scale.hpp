#pragma once
// Exact rescaling of point data by a power of two, for the fits whose plain arithmetic would
// overflow or underflow. Multiplying by 2^-e changes only the exponent of every double that stays
// normal, so a fit run on 2^-e times the data and scaled back by 2^e equals, bit for bit, the fit
// run on the data themselves wherever the latter needs no rescaling, and it scales exactly with
// the data everywhere: 2^k times the data map onto the very same scaled values.
//
// The exponent is chosen from the largest coordinate alone, so that it lies in [1, 2) after
// scaling; sums of n such values and of their squares then stay far from overflow for any n a
// machine can hold, and deviations of relative size 2^-52 (neighbouring doubles) stay far from
// underflow.

#include <vector>

#include "base/coordinate_view.hpp"

namespace tondra {

using base::CoordinateView;

// The largest |v| over both runs (every element, not only a common prefix), or +infinity when
// any element is NaN or infinite. No coordinates give 0.
double largest_magnitude(CoordinateView xs, CoordinateView ys) noexcept;

// The e with 2^e <= largest < 2^(e+1). Assumes largest is finite and positive (it may be
// subnormal, e is then below -1022).
int binary_exponent(double largest) noexcept;

// 2^-e times every element (exact while it stays a normal double).
std::vector<double> scaled_by_power_of_two(CoordinateView values, int e);

}  // namespace tondra
