#pragma once
// How much of the circle the points cover, for any method's centre. x and y must have the same
// length (a fault otherwise).

#include <span>
#include <vector>

namespace tondra::kit {

// The angle in [0, 2 pi] that the points cover about (cx, cy): 2 pi less the largest empty gap
// between their directions seen from there, to within about an ulp of 2 pi. 0 for fewer than 2
// distinct directions (points at the centre have none); NaN for a coordinate or centre that is
// not finite. Takes O(n) time and one arctangent: `scratch` holds the directions' buckets,
// about 8n/3 numbers (grown as needed, kept for reuse). Directions are taken from the differences
// themselves, not from the unit frame, so nothing is lost to the frame's rounding.
double arc_coverage(std::span<const double> x, std::span<const double> y, double cx, double cy,
                    std::vector<double>& scratch);

}  // namespace tondra::kit
