#pragma once
// The frame in which the fits in space compute, as unit_frame.hpp is for the plane: the points
// centred on their mean and scaled by powers of two, first so that the largest |coordinate| lies
// in [1, 2), then so that their RMS distance from the mean does. No accuracy is lost to it, and
// tolerances written in it are relative to the data's own size.
//
// Also the principal axes of the points' scatter in that frame, from which come the plane and
// the line that fit them best, and the tests of whether points lie on a plane or a line.

#include <array>
#include <cstddef>
#include <optional>
#include <span>

namespace tondra::kit {

using Vector3 = std::array<double, 3>;

struct SpaceFrame {
  double pre;    // 2^-e
  Vector3 mean;  // of pre * coordinate
  double post;   // 2^-f
  int e;
  int f;

  double to_frame(double value, int axis) const noexcept {
    return (value * pre - mean[static_cast<std::size_t>(axis)]) * post;
  }
  double to_data(double value, int axis) const noexcept;
  double data_length(double length) const noexcept;
  // The rounding of a coordinate, carried into the frame: the data's own coordinates are
  // rounded to their size, which may be far above their spread.
  double coordinate_rounding() const noexcept;
};

// Points in space: three equally long runs of coordinates.
struct SpacePoints {
  std::span<const double> x;
  std::span<const double> y;
  std::span<const double> z;

  std::size_t size() const noexcept { return x.size(); }
  Vector3 in_frame(const SpaceFrame& frame, std::size_t i) const noexcept {
    return {frame.to_frame(x[i], 0), frame.to_frame(y[i], 1), frame.to_frame(z[i], 2)};
  }
};

// The frame, or nothing for no points, a coordinate that is not finite or all points equal.
// The three runs must be equally long (a fault otherwise).
std::optional<SpaceFrame> space_frame(const SpacePoints& points);

// The eigenvalues of the points' scatter in the frame, sum p p^T, ascending, with unit
// eigenvectors (Jacobi's rotations: accurate to rounding for a 3 x 3 matrix).
struct PrincipalAxes {
  Vector3 values;
  std::array<Vector3, 3> vectors;
};
PrincipalAxes principal_axes(const SpacePoints& points, const SpaceFrame& frame);

// RMS distance, in the frame, of the points from the plane through the origin normal to
// `axes.vectors[0]` (planar), or from the line along `axes.vectors[2]` (linear); each judged
// against the coordinates' rounding by flat().
double rms_off_plane(const SpacePoints& points, const SpaceFrame& frame, const PrincipalAxes& axes);
double rms_off_line(const SpacePoints& points, const SpaceFrame& frame, const PrincipalAxes& axes);
bool flat(double rms_off, const SpaceFrame& frame) noexcept;

inline double dot(const Vector3& a, const Vector3& b) noexcept {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

}  // namespace tondra::kit
