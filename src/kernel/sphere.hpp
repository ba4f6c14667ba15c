#pragma once
// The sphere through points in space, by two methods:
//  - Geometric: the sphere (c, r) that minimises sum (|p_i - c| - r)^2. The radius is
//    eliminated as in the plane (centre_problem.hpp): for a centre it is the mean distance, and
//    Levenberg-Marquardt runs on the centre alone from the algebraic fit, until its step can gain
//    no more than the rounding of the residuals.
//  - Algebraic: the sphere whose equation |p|^2 - 2 p.c + k = 0 the points satisfy best in least
//    squares, one 3 x 3 solve on the centred moments (O(n)); its radius is its own,
//    sqrt(|c|^2 - k).
// Both compute in the space frame (space_frame.hpp).
//
// Statuses: NotFinite, TooFew (fewer than 4 points), Coincident, Coplanar (the points lie on
// one plane or one line to rounding: no unique sphere), NoFiniteCircle (a centre or radius that
// is not finite in the data's units). The three runs must be equally long (a fault otherwise).

#include <array>
#include <cstdint>
#include <limits>

#include "kernel/numbers.hpp"
#include "kernel/space_frame.hpp"
#include "kernel/status.hpp"

namespace tondra::kit {

enum class SphereMethod : std::uint8_t { Geometric = 0, Algebraic = 1 };

struct SphereFit {
  Status status = Status::Ok;
  Vector3 centre = {kNaN, kNaN, kNaN};
  double r = kNaN;
  double rms = kNaN;  // sqrt(mean (d_i - r)^2)
  // sigma^2 (J^T J)^-1 for (cx, cy, cz, r), row by row, sigma^2 = sum (d_i - r)^2 / (n - 4);
  // NaN for 4 points, +infinity where a variance exceeds the doubles.
  std::array<double, 16> cov = {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN,
                                kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN};
  std::int64_t n = 0;
  std::int64_t iterations = -1;  // Levenberg-Marquardt's; -1 for the algebraic method
  bool converged = false;        // the centre is a least-squares minimum to rounding
};

SphereFit fit_sphere(const SpacePoints& points, SphereMethod method);

}  // namespace tondra::kit
