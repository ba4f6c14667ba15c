#pragma once
// Circle: a point set as a problem for the optimisers. A centre c = [cx, cy] is scored by how
// unequal the point-to-centre distances are:
//
//   d_i = sqrt((x_i - cx)^2 + (y_i - cy)^2),  m = (sum of d_i) / n,  cost = sum of (d_i - m)^2
//
// over the first n = min(len xs, len ys) points (the longer vector's tail is ignored). The sum is
// not divided by n. Sums run in index order from +0.0 and every operation is rounded on its own,
// so the value is reproducible bit for bit. No value is validated: NaN and infinities propagate.
//
// The gradient is the true derivative of that cost. Since the deviations d_i - m sum to zero, the
// mean's own dependence on c drops out and
//
//   g = 2 * sum of w_i * (c - p_i),  w_i = (d_i - m) / d_i,
//
// with w_i = 0 for a point exactly at the centre, which has no direction to pull in. (The simpler
// vector sum of (c - p_i) is the gradient of the squared distance to the centroid: fed to a
// gradient solver it drags every fit to the centroid instead of the best-fitting centre.)
//
// Edges: with no points the cost is 0.0 and the gradient [0.0, 0.0], and the gradient then does
// not read its parameter. A parameter with fewer than two elements faults with the index message
// (len 0: index 0; len 1: index 1); elements past the second are ignored.
//
// Speed: evaluations allocate nothing per point or per call; the distances live in a scratch
// buffer of n elements made once with the Circle. The gradient-based solvers want the cost and
// the gradient at each trial centre: cost_and_gradient gives both from the one pass that the cost
// needs anyway (the squared deviations and the two gradient sums run side by side, each in index
// order), and keeps the gradient, so that asking for it again at that centre (L-BFGS does, at the
// accepted step) costs nothing. A gradient asked for at the centre of the last cost reuses its
// distances. These caches make a Circle unfit for sharing across threads; each run owns its own
// Circle, moved in and out of the optimiser.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "optim/core/optim_error.hpp"
#include "optim/core/problem.hpp"
#include "optim/math/vector.hpp"

namespace tondra {

class Circle {
 public:
  Circle(std::vector<double> xs, std::vector<double> ys);

  // The cost at `center` (despite the name, a sum of squared deviations, not a mean distance).
  // With points present, faults when `center` has fewer than two elements.
  double mean_distance_to_center(std::span<const double> center) const;

  // mean_distance_to_center of [param[0], param[1]]; never returns an error.
  optim::OptimResult<double> cost(std::span<const double> param) const;

  // [g0, g1] as derived above; never returns an error.
  optim::OptimResult<optim::Vector> gradient(std::span<const double> param) const;

  // The cost, then the gradient, at one centre, as those two calls would give them, from one pass.
  optim::CostAndGradient cost_and_gradient(std::span<const double> param) const;

  const std::vector<double>& xs() const { return xs_; }
  const std::vector<double>& ys() const { return ys_; }
  // The number of points the objective uses.
  std::size_t size() const { return distances_.size(); }

 private:
  // Fills distances_ with d_i and returns their mean m. Assumes at least one point. The solvers
  // ask for the gradient at the point whose cost they just took (every line-search trial, and
  // L-BFGS at the accepted step), so the distances of the last centre are kept and reused: the
  // same numbers, computed once.
  double fill_distances(double cx, double cy) const;
  // The exact bits of a centre, the key of the caches.
  static std::array<std::uint64_t, 2> key_of(double cx, double cy);

  std::vector<double> xs_;
  std::vector<double> ys_;
  mutable std::vector<double> distances_;
  // The centre (its exact bits) whose distances distances_ holds, and their mean.
  mutable std::optional<std::array<std::uint64_t, 2>> filled_at_;
  mutable double filled_mean_ = 0.0;
  // The centre whose gradient grad_ holds (taken by cost_and_gradient).
  mutable std::optional<std::array<std::uint64_t, 2>> grad_at_;
  mutable std::array<double, 2> grad_ = {0.0, 0.0};
};

}  // namespace tondra
