#pragma once
// Algebraic circle fits: the circle A (x^2 + y^2) + B x + C y + D = 0 whose algebraic distances
// sum((A z_i + B x_i + C y_i + D)^2) are least under a quadratic constraint on (A, B, C, D).
// Taubin's constraint is the average squared gradient of the algebraic distance over the points;
// Hyper's is twice Taubin's minus Pratt's (B^2 + C^2 - 4 A D), the combination under which the
// fit's essential bias (of order sigma^2 / r in the centre and radius) cancels. For points that
// lie on a circle every such fit returns that circle.
//
// With the points centred (mean x = mean y = 0) and moments Mxx = mean(x^2), Mxz = mean(x z),
// z = x^2 + y^2, Mz = Mxx + Myy, the fit is the smallest positive root eta of
// det(M - eta N) = 0 (M the moment matrix, N the constraint's). Taubin's is a cubic, Hyper's the
// same cubic plus 4 eta^2 (eta^2 - Mz eta + Mxx Myy - Mxy^2), a quartic whose eta^3 terms cancel.
// Each root gives the centre
//   xc = (Mxz (Myy - eta) - Myz Mxy) / (2 P),  yc = (Myz (Mxx - eta) - Mxz Mxy) / (2 P),
//   P = eta^2 - Mz eta + Mxx Myy - Mxy^2,
// and the algebraic radius from D: R^2 = xc^2 + yc^2 + Mz (Taubin), xc^2 + yc^2 + Mz - 2 eta
// (Hyper). The radius is the fit's own, not the mean distance of the points from its centre.
//
// All fits run in the unit frame (unit_frame.hpp): the results scale exactly with the data and
// nothing overflows for any finite coordinates. `ok` is false, and the circle NaN, where there is
// no circle: fewer than 3 points, a coordinate that is not finite, all points equal, or a fit
// whose centre or radius is not finite (points on a line give A = 0). The lengths of x and y
// must agree (a fault otherwise).

#include <cstddef>
#include <span>

#include "kernel/unit_frame.hpp"

namespace tondra::kit {

struct AlgebraicCircle {
  double cx;
  double cy;
  double r;
  bool ok;
};

// Hyper's fit through a singular value decomposition, stable where the moments are not (points
// almost exactly on a circle, where M is nearly singular). This is the kit's method "hyper".
AlgebraicCircle hyper_svd(std::span<const double> x, std::span<const double> y);

// The same two fits from the moments alone, by Newton's method from eta = 0 on the
// characteristic polynomial: one pass over the points and a few scalar steps. Less accurate than
// the decomposition when the points lie within rounding of a circle, and meant as starts for an
// iterative fit.
AlgebraicCircle hyper_newton(std::span<const double> x, std::span<const double> y);
AlgebraicCircle taubin_newton(std::span<const double> x, std::span<const double> y);

// The centred moments of the points in a frame, for callers that fit in that frame themselves.
// mean_u, mean_v: the frame coordinates' own mean (zero up to rounding), on which the rest are
// centred.
struct FrameMoments {
  std::size_t n;
  double mean_u;
  double mean_v;
  double muu;
  double mvv;
  double muv;
  double muz;  // mean(u z) with z = u^2 + v^2 centred on its mean
  double mvz;
  double var_z;  // mean((z - mean z)^2)
};

FrameMoments frame_moments(const UnitFrame& frame, std::span<const double> x,
                           std::span<const double> y);

// hyper_newton and taubin_newton on such moments; the circle is in frame coordinates.
AlgebraicCircle hyper_newton_in_frame(const FrameMoments& m);
AlgebraicCircle taubin_newton_in_frame(const FrameMoments& m);

}  // namespace tondra::kit
