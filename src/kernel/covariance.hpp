#pragma once
// The covariance of a fitted circle's (cx, cy, r): sigma^2 (J^T J)^-1 for the residuals
// e_i = d_i - r, J's rows (-n_i, -1) with n_i the unit vector from the centre to point i, and
// sigma^2 = sum e_i^2 / (n - 3); NaN for 3 points or fewer, where the residuals leave no degrees
// of freedom to estimate sigma. A point exactly at the centre has no direction: its n_i is 0.
//
// Two forms of the one formula, because they round differently and each result must keep its
// bits. The cofactor form takes the sums that the pass for r and rms gathers anyway, and costs
// nothing more; every fit uses it. Its cofactors subtract, so an ill-conditioned fit (a short
// arc) can come out with a negative variance. The stable form makes a pass of its own in the
// unit frame and factors J^T J so that every variance is a sum of non-negative terms; a fit
// uses it where the cofactor form gave a negative variance.

#include <array>
#include <cstddef>
#include <span>

namespace tondra::kit {

// The sums of one pass over the points, each taken in index order from +0.0: of n_i n_i^T's
// entries and of n_i.
struct DirectionSums {
  double suu = +0.0;
  double suv = +0.0;
  double svv = +0.0;
  double su = +0.0;
  double sv = +0.0;
};

// The cofactor form, row by row, from see = sum e_i^2 and the sums of `count` points:
// sigma^2 adj(J^T J) / det(J^T J) with J^T J = [[suu, suv, su], [suv, svv, sv], [su, sv, n]].
// A singular J^T J (3 points, or directions that span no plane) gives the infinities or NaN of
// the division.
std::array<double, 9> cofactor_covariance(double see, const DirectionSums& s, std::size_t count);

// The stable form, row-major, computed from the directions' centred sums A (J^T J less its r
// row and column by the Schur complement) through A = L diag(p0, p1) L^T, so that every variance
// is a sum of non-negative terms:
//   Var(c) = sigma^2 A^-1,  Cov(c, r) = -sigma^2 A^-1 m,  Var(r) = sigma^2 (1/n + m^T A^-1 m),
// m the mean direction. All NaN when `converged` is false (the formula describes a minimum
// only), for 3 points or fewer, and for input that is not finite. When the directions do not
// determine the centre (A singular to rounding) the variances are +infinity and the
// covariances NaN.
struct ScaledCovariance {
  std::array<double, 9> cov;  // in units of 4^exponent
  int exponent;
};
ScaledCovariance covariance_at_scaled(std::span<const double> x, std::span<const double> y,
                                      double cx, double cy, double r, bool converged);

// The same in the data's own units (infinite where those variances exceed the doubles).
std::array<double, 9> covariance_at(std::span<const double> x, std::span<const double> y, double cx,
                                    double cy, double r, bool converged);

}  // namespace tondra::kit
