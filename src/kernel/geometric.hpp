#pragma once
// Geometric least squares: the circle (cx, cy, r) that minimises sum (|p_i - c| - r)^2, the sum
// of squared distances of the points from the circle. The kit's method "geometric".
//
// Levenberg-Marquardt in the unit frame (unit_frame.hpp), from Hyper's algebraic fit (Taubin's
// where Hyper's finds no circle); see geometric.cpp for the iteration, its stopping rules and the
// search for other minima.
//
// Edges: fewer than 3 points, a coordinate that is not finite or all points equal give NaN with
// converged and line_like false. Points that lie closer to a line than to any circle (no finite
// circle attains the infimum of the cost, which is the best line's, and the iteration runs off to
// ever larger radii) give line_like; cx, cy, r then hold the best finite circle found if there is
// one (converged true, a local minimum worse than the line) and otherwise the last circle of the
// run that ran off (converged false). The lengths of x and y must agree (a fault otherwise).

#include <cstdint>
#include <span>

#include "kernel/termination.hpp"

namespace tondra::kit {

struct GeometricFit {
  double cx;
  double cy;
  double r;
  std::int64_t iterations;  // of every run together, the searches for other minima included
  bool converged;           // a minimum to rounding (not a saddle, not stopped by the budget)
  bool line_like;
  // Converged where a run converged; else Diverged where one ran off, and otherwise how the
  // first run ended (MaxIterations, NotFinite); None where no run was made.
  Termination termination;
};

GeometricFit geometric_fit(std::span<const double> x, std::span<const double> y);

}  // namespace tondra::kit
