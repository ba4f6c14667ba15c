#pragma once
// The geometric cost as a function of the centre alone, in the unit frame (unit_frame.hpp): for
// a centre c the best radius is the mean distance r(c) = mean d_i, and the cost is
// F(c) = sum (d_i - r(c))^2 with d_i = |p_i - c|. Eliminating r this way (variable projection)
// leaves a problem in two unknowns whose Jacobian is exact: e_i = d_i - mean d has the gradient
// -(n_i - mean n) with n_i the unit vector from c to p_i.
//
// Everything is computed so that it stays accurate for a centre far from the points, where a
// nearly straight arc puts it and where a fit that heads for a line takes it:
//  - the residuals from D_i = d_i - |c| = (|p_i|^2 - 2 p_i.c) / (d_i + |c|) (the frame's origin
//    is the points' mean, so p_i is small): no difference of two distances of the size of |c|;
//  - the Jacobian from n_i + c/|c| = (p_i + c D_i / |c|) / d_i, which is small there, instead of
//    the difference of two nearly equal unit vectors;
//  - the centred sums from sums shifted by the first point's values, whose cancellation is
//    bounded by the spread of the values about that point rather than by their size.
// A point at the centre has no direction: its n_i is 0, and it adds nothing to the curvature.

#include <array>
#include <cstddef>
#include <span>

#include "kernel/unit_frame.hpp"

namespace tondra::kit {

// The cost and the Gauss-Newton normal equations at one centre (a, b) of the frame.
struct CentreNormal {
  double cost;                // F
  double r;                   // the best radius, mean d_i
  std::array<double, 3> jtj;  // J^T J: S_aa, S_ab, S_bb
  std::array<double, 2> h;    // -J^T e, so that the Gauss-Newton step solves J^T J delta = h
};

class CentreProblem {
 public:
  // Assumes x.size() == y.size() >= 1; the spans and the frame must outlive the problem.
  CentreProblem(const UnitFrame& frame, std::span<const double> x, std::span<const double> y)
      : frame_(frame), x_(x), y_(y) {}

  std::size_t size() const noexcept { return x_.size(); }
  double u(std::size_t i) const noexcept { return frame_.frame_u(x_[i]); }
  double v(std::size_t i) const noexcept { return frame_.frame_v(y_[i]); }

  CentreNormal evaluate(double a, double b) const noexcept;
  double cost(double a, double b) const noexcept;
  // The Hessian of F / 2 (S_aa, S_ab, S_bb): J^T J plus sum e_i times the curvature of d_i,
  // (I - n_i n_i^T) / d_i. Assumes `at` is evaluate(a, b).
  std::array<double, 3> hessian(double a, double b, const CentreNormal& at) const noexcept;
  // evaluate(a, b) and the Hessian together, in one pass over the points: the curvature terms
  // are summed against the residuals shifted by the first point's, like the other sums, and
  // centred at the end. The normal equations are evaluate(a, b)'s to the bit; the Hessian is
  // hessian()'s up to rounding.
  CentreNormal evaluate_with_hessian(double a, double b,
                                     std::array<double, 3>& hessian) const noexcept;

 private:
  const UnitFrame& frame_;
  std::span<const double> x_;
  std::span<const double> y_;
};

// Whether the Hessian at `at` is certainly positive definite without summing it: the curvature
// term's eigenvalues are at most sum |e_i| / d_i <= sqrt(n F) / (r - sqrt F) in size, so a
// smaller eigenvalue of J^T J above that makes the point a minimum, and the pass over the points
// for the Hessian can be saved.
bool gram_dominates(const CentreNormal& at, std::size_t n) noexcept;

// The eigenvalues of a symmetric 2 x 2 Hessian [[h_aa, h_ab], [h_ab, h_bb]], mean -+ radius.
struct Curvatures {
  double mean;
  double radius;
  double lowest() const noexcept { return mean - radius; }
};
Curvatures curvatures(const std::array<double, 3>& h) noexcept;

// Whether the Hessian curves down in some direction beyond rounding: its lower eigenvalue is
// below -kNegativeCurvature times the larger's size, since rounding can tip a weak positive
// curvature at a short arc's minimum. Then the point is a saddle or a maximum, not a minimum.
inline constexpr double kNegativeCurvature = 1e-9;
bool curves_down(const Curvatures& c) noexcept;

// Solves the 2 x 2 system [[s_aa, s_ab], [s_ab, s_bb]] x = h by an L D L^T factorisation; false
// when it is not safely positive definite (a pivot not positive and finite).
bool solve_spd2(const std::array<double, 3>& s, const std::array<double, 2>& h,
                std::array<double, 2>& x) noexcept;

}  // namespace tondra::kit
