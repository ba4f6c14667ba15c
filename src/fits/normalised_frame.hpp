#pragma once
// The data's own frame for the least-squares fit. The solvers' tolerances are absolute and their
// starting points ignore where the data lie, so run on raw coordinates the fit would depend on
// the units and the origin of the data (on a 20° arc the simplex diverged to radii of 1e6-1e8).
// The fit therefore runs on u = (x - x̄) / s, v = (y - ȳ) / s, with (x̄, ȳ) the mean of the
// first n = min(len xs, len ys) points and s their RMS distance from that mean, and maps the
// solution back.
//
// The whole range of finite doubles: the plain sums overflow once n * spread^2 passes the largest
// double, and squares of deviations below 2^-511 lose bits to subnormals or vanish. Whenever the
// plain computation meets either (a sum, mean or square outside the normal range), the frame is
// computed instead on 2^-e times the data, e chosen from the largest coordinate (see
// binary_scale.hpp), and remembers e: u and v are the same numbers either way, and the centre is
// scaled back by 2^e at the very end. Scaling the data by a power of two therefore scales the
// result exactly, bit for bit, as long as data and centre stay normal doubles.
//
// Edges: no points gives the identity frame (0, 0, 1); a zero, NaN or infinite spread gives
// s = 1 (the data are then only translated), so a frame is always usable. Data holding a NaN or
// an infinity get the plain frame, so they fail in the solvers as they always have.

#include <vector>

#include "base/coordinate_view.hpp"

namespace tondra {

using base::CoordinateView;

struct NormalisedFrame {
  // The origin and unit of the frame in units of 2^exponent: in the caller's coordinates the
  // origin is 2^exponent * (x0, y0) and the unit 2^exponent * scale. Zero unless rescaled.
  double x0 = 0.0;
  double y0 = 0.0;
  double scale = 1.0;
  int exponent = 0;

  static NormalisedFrame of(CoordinateView xs, CoordinateView ys) noexcept;

  // Every element (not only the first n) mapped into the frame, as a new vector.
  std::vector<double> to_frame_x(CoordinateView xs) const;
  std::vector<double> to_frame_y(CoordinateView ys) const;

  // A point of the frame back in the caller's coordinates: 2^exponent * [x0 + s*c0, y0 + s*c1].
  std::vector<double> from_frame(double c0, double c1) const;
};

}  // namespace tondra
