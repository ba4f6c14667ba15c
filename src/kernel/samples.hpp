#pragma once
// The minimal samples of the robust fit, in the points' frame: three random points and their
// circumcircle, or, with a known radius, two random points and both circles of that radius
// through them; and how many samples give one of inliers only with a given confidence.
//
// Edges: a sample that determines no circle (collinear points, or a circle so large that it is
// a line to every purpose; two points farther apart than the diameter) gives r = NaN.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "kernel/random.hpp"

namespace tondra::kit {

struct SampleCircle {
  double cx = 0.0;
  double cy = 0.0;
  double r = std::numeric_limits<double>::quiet_NaN();  // NaN: the sample gives no circle
};

// The circle through points i, j, k of the frame, from the offsets of j and k from i.
SampleCircle circumcircle(const std::vector<double>& px, const std::vector<double>& py,
                          std::size_t i, std::size_t j, std::size_t k);

// The two circles of radius r through points i and j of the frame (centres on either side of
// the chord); none where the points coincide or lie more than 2 r apart.
std::array<SampleCircle, 2> circles_of_radius(const std::vector<double>& px,
                                              const std::vector<double>& py, std::size_t i,
                                              std::size_t j, double r);

// Three distinct indices below n, uniform over all such triples. Assumes n >= 3.
std::array<std::size_t, 3> draw_triple(SampleStream& stream, std::uint64_t n);

// Two distinct indices below n, uniform over all such pairs. Assumes n >= 2.
std::array<std::size_t, 2> draw_pair(SampleStream& stream, std::uint64_t n);

// Samples of `size` (2 or 3) points needed for one of inliers only with probability
// `confidence` at inlier ratio w: log(1 - confidence) / log(1 - w^size), rounded up.
double trials_needed(double inlier_ratio, double confidence, int size);

}  // namespace tondra::kit
