#pragma once
// The geometric fit with weights and radius bounds: the circle (cx, cy, r), lo <= r <= hi, that
// minimises sum w_i (|p_i - c| - r)^2. Beside the plain geometric fit (geometric.hpp), which a
// set given no weights and no bounds keeps to the bit.
//
// The radius is eliminated as in the plain fit: for a centre c the best radius is the weighted
// mean distance clamped to the bounds, r(c) = clamp(sum w_i d_i / W, lo, hi), W = sum w_i. The
// cost is convex in r, so the clamp is the constrained minimum over r, and
// F(c) = sum w_i (d_i - r(c))^2 is continuously differentiable: where the clamp holds r, the
// residuals' gradient is -n_i; where it does not, -(n_i - mean n), the means weighted.
// Levenberg-Marquardt on c alone therefore reaches the constrained minimum, and a minimum of F
// on the bound satisfies the constrained optimality conditions (the clamp holds r exactly when
// the free optimum over r lies beyond the bound, which is the multiplier's sign).
//
// Weights are relative: they are divided by the largest, and every statistic is unchanged by a
// common factor. The covariance is s^2 (J^T W J)^-1 with s^2 = sum w_i e_i^2 / (n - p), the
// common factor of the weights estimated from the residuals, p = 3 parameters, or 2 where r is
// held on a bound (its row and column are then 0).
//
// Edges: the points must be finite, at least 3, not all equal, with positive weights (the kit's
// checks and known_fit.hpp see to that). Without an upper bound, points closer to a line than
// to any circle give line_like.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kernel/knowns.hpp"
#include "kernel/termination.hpp"

namespace tondra::kit {

struct WeightedCircle {
  double cx;
  double cy;
  double r;
  double rms;                 // sqrt(sum w_i e_i^2 / W)
  std::array<double, 9> cov;  // in units of 4^cov_exponent
  int cov_exponent;
  std::int64_t iterations;  // of every run together
  bool converged;           // a minimum of F to rounding
  bool line_like;
  bool held;  // r is on a bound
  // Converged where a run converged; else Diverged where one ran off, and otherwise how the
  // first run ended; None about a given centre (weighted_circle_at).
  Termination termination = Termination::None;
};

// Buffers of one thread, kept from set to set.
struct WeightedScratch {
  std::vector<double> x;  // the points of positive weight, and their weights
  std::vector<double> y;
  std::vector<double> w;
  std::vector<double> u;  // the same in the unit frame
  std::vector<double> v;
  std::vector<double> d;  // at the latest centre: distances, d_i - |c|, and n_i + c / |c|
  std::vector<double> delta;
  std::vector<double> nu;
  std::vector<double> nv;
};

// The fit; `start`, when given, is tried besides the algebraic start (a centre in the data).
WeightedCircle weighted_geometric_fit(std::span<const double> x, std::span<const double> y,
                                      std::span<const double> w, const RadiusBounds& bounds,
                                      std::optional<std::array<double, 2>> start,
                                      WeightedScratch& scratch);

// The algebraic fits on weighted moments (the means, second and third moments of the plain fits
// taken with weights): Hyper's or Taubin's circle in the data, as hyper.hpp's AlgebraicCircle
// fields (cx, cy, r, ok).
struct WeightedAlgebraic {
  double cx;
  double cy;
  double r;
  bool ok;
};
WeightedAlgebraic weighted_hyper(std::span<const double> x, std::span<const double> y,
                                 std::span<const double> w, WeightedScratch& scratch);
WeightedAlgebraic weighted_taubin(std::span<const double> x, std::span<const double> y,
                                  std::span<const double> w, WeightedScratch& scratch);

// The weighted centroid, sum w_i p_i / W.
std::array<double, 2> weighted_centroid(std::span<const double> x, std::span<const double> y,
                                        std::span<const double> w);

// r (the weighted mean distance), rms and covariance about a given centre, and whether it is a
// minimum of the weighted cost (its Gauss-Newton step shorter than 1e-8 of the data's spread
// plus the centre's distance from them).
WeightedCircle weighted_circle_at(std::span<const double> x, std::span<const double> y,
                                  std::span<const double> w, double cx, double cy,
                                  WeightedScratch& scratch);

}  // namespace tondra::kit
