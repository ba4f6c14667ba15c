#pragma once
// The weighted geometric cost in the unit frame, as a function of the centre alone (see
// weighted_geometric.hpp): F(c) = sum w_i (d_i - r(c))^2, r(c) the weighted mean distance
// clamped to the bounds, with its Gauss-Newton normal equations and Hessian; and what the
// weighted fits share around it: the frame and normalised weights in the scratch buffers, the
// weighted moments, and the statistics of a circle found.
//
// The residuals come from d_i - |c| = (|p_i|^2 - 2 p_i.c) / (d_i + |c|) and the Jacobian from
// n_i + c / |c| = (p_i + c (d_i - |c|) / |c|) / d_i, as in the plain fit (centre_problem.hpp), so
// that a centre far from the points (a short arc's) costs them no accuracy: the frame's points lie
// near its origin. A point at the centre has no direction and adds no curvature.

#include <array>
#include <cstddef>
#include <span>

#include "kernel/hyper.hpp"
#include "kernel/unit_frame.hpp"
#include "kernel/weighted_geometric.hpp"

namespace tondra::kit::weighted {

struct Centre {
  double a;
  double b;
};

double distance_of(const Centre& c) noexcept;

// The cost and normal equations at one centre.
struct Normal {
  double cost;  // sum w e^2
  double r;
  bool held;                   // r clamped to a bound
  std::array<double, 3> jtj;   // sum w j j^T, j = n - mean n (n where held)
  std::array<double, 2> h;     // sum w e j
  std::array<double, 2> mean;  // mean n (0 where held)
};

// The problem on the scratch's frame coordinates and weights (see prepare), the radius clamped
// to [lo, hi] (frame units). The scratch must outlive it; evaluate() leaves the distances and
// directions of its centre there.
class Problem {
 public:
  Problem(WeightedScratch& s, double lo, double hi);
  std::size_t size() const noexcept { return s_.u.size(); }
  double weight_sum() const noexcept { return weight_sum_; }
  // With `hessian`: also J^T W J + sum w_i e_i (I - n_i n_i^T) / d_i there.
  Normal evaluate(const Centre& c, std::array<double, 3>* hessian = nullptr) const noexcept;

 private:
  WeightedScratch& s_;
  double lo_;
  double hi_;
  double weight_sum_;
};

// Fills the scratch's frame coordinates and the weights divided by the largest; the frame.
// Faults unless x, y and w are equally long, the points have a frame and the weights a
// positive finite largest.
UnitFrame prepare(std::span<const double> x, std::span<const double> y, std::span<const double> w,
                  WeightedScratch& s);

// The weighted moments of the prepared points, centred on their weighted mean.
FrameMoments moments(const WeightedScratch& s, double weight_sum);

// The circle at `c` with its evaluation `at`, in the data: centre, r, rms and covariance
// (iterations, converged and line_like left for the caller).
WeightedCircle describe(const UnitFrame& frame, const Problem& problem, const Centre& c,
                        const Normal& at);

}  // namespace tondra::kit::weighted
