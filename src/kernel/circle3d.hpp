#pragma once
// A circle in space: centre c, unit normal N and radius r, in two conventions:
//  - Projected: the least-squares plane of the points (through their mean, normal to the
//    scatter's weakest axis), then the kit's geometric circle (geometric.hpp) of the points
//    projected on it.
//  - Geometric: the circle that minimises the sum of the squared true distances from the points,
//    (rho_i - r)^2 + h_i^2 with h_i a point's height above the circle's plane and rho_i its
//    distance from the axis; Levenberg-Marquardt on (c, N, r) from the projected circle, N moved
//    by a tilt in its own tangent plane and renormalised after each step, until the step can gain
//    no more than the rounding of the residuals.
// Both compute in the space frame (space_frame.hpp). N is the unit normal whose component of
// largest magnitude is positive.
//
// Statuses: NotFinite, TooFew (fewer than 3 points), Coincident, Collinear (the points lie on
// one line to rounding), LineLike (the projected points fit a line better than any circle),
// NoFiniteCircle. The three runs must be equally long (a fault otherwise).

#include <array>
#include <cstdint>
#include <limits>
#include <vector>

#include "kernel/numbers.hpp"
#include "kernel/space_frame.hpp"
#include "kernel/status.hpp"

namespace tondra::kit {

enum class Circle3dMethod : std::uint8_t { Projected = 0, Geometric = 1 };

struct Circle3dFit {
  Status status = Status::Ok;
  Vector3 centre = {kNaN, kNaN, kNaN};
  Vector3 normal = {kNaN, kNaN, kNaN};
  double r = kNaN;
  double rms = kNaN;  // of the true distances from the circle, sqrt((rho_i - r)^2 + h_i^2)
  // sigma^2 (J^T J)^-1 for (cx, cy, cz, r), row by row, from the true distances' Jacobian in
  // (c, N, r), sigma^2 = sum of squared distances / (2 n - 6); NaN for 3 points.
  std::array<double, 16> cov = {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN,
                                kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN};
  std::int64_t n = 0;
  std::int64_t iterations = -1;
  bool converged = false;
  double arc = kNaN;  // the angle the points cover about the centre in the circle's plane
};

// `scratch` holds the projected coordinates and the arc's buckets (grown as needed).
Circle3dFit fit_circle3d(const SpacePoints& points, Circle3dMethod method,
                         std::vector<double>& scratch);

}  // namespace tondra::kit
