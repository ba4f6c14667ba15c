#pragma once
// The data's own frame for the least-squares fit. The solvers' tolerances are absolute and their
// starting points ignore where the data lie, so run on raw coordinates the fit would depend on
// the units and the origin of the data (on a 20° arc the simplex diverged to radii of 1e6-1e8).
// The fit therefore runs on u = (x - x̄) / s, v = (y - ȳ) / s, with (x̄, ȳ) the mean of the
// first n = min(len xs, len ys) points and s their RMS distance from that mean, and maps the
// solution back. Scaling the data by a power of two scales every intermediate exactly, so such
// a scaling gives bit-identical results up to that factor.
//
// Edges: no points gives the identity frame (0, 0, 1); a zero, NaN or infinite spread gives
// s = 1 (the data are then only translated), so a frame is always usable.

#include <span>
#include <vector>

namespace tondra {

struct NormalisedFrame {
  double x0 = 0.0;
  double y0 = 0.0;
  double scale = 1.0;

  static NormalisedFrame of(std::span<const double> xs, std::span<const double> ys) noexcept;

  // Every element (not only the first n) mapped into the frame, in place.
  std::vector<double> to_frame_x(std::vector<double> xs) const;
  std::vector<double> to_frame_y(std::vector<double> ys) const;

  // A point of the frame back in the caller's coordinates: [x0 + s*c0, y0 + s*c1].
  std::vector<double> from_frame(double c0, double c1) const;
};

}  // namespace tondra
