#pragma once
// Small problems with known minimisers, shared by the gradient-based solver tests.

#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "optim/core/optim_error.hpp"

namespace tondra::optim::testing {

// sum of w_i (x_i - c_i)^2: minimum 0 at c. Unequal weights make it ill-conditioned.
struct Quadratic {
  std::vector<double> weights;
  std::vector<double> centre;

  OptimResult<double> cost(std::span<const double> x) const {
    double sum = 0.0;
    for (std::size_t i = 0; i < centre.size(); ++i) {
      sum += weights[i] * (x[i] - centre[i]) * (x[i] - centre[i]);
    }
    return sum;
  }
  OptimResult<std::vector<double>> gradient(std::span<const double> x) const {
    std::vector<double> g(centre.size());
    for (std::size_t i = 0; i < centre.size(); ++i) g[i] = 2.0 * weights[i] * (x[i] - centre[i]);
    return g;
  }
};

// (1 - x)^2 + 100 (y - x^2)^2: minimum 0 at (1, 1), at the end of a long curved valley.
struct Rosenbrock {
  OptimResult<double> cost(std::span<const double> p) const {
    const double a = 1.0 - p[0];
    const double b = p[1] - p[0] * p[0];
    return a * a + 100.0 * b * b;
  }
  OptimResult<std::vector<double>> gradient(std::span<const double> p) const {
    const double b = p[1] - p[0] * p[0];
    return std::vector<double>{-2.0 * (1.0 - p[0]) - 400.0 * p[0] * b, 200.0 * b};
  }
};

// Finite (a quadratic bowl around the origin) only at the points in `finite_at`, NaN elsewhere:
// the cost and gradient a point set with NaN coordinates produces away from a cached start.
struct NanAwayFrom {
  std::vector<double> finite_at;

  bool is_finite_point(std::span<const double> x) const {
    for (std::size_t i = 0; i < finite_at.size(); ++i) {
      if (x[i] != finite_at[i]) return false;
    }
    return true;
  }
  OptimResult<double> cost(std::span<const double> x) const {
    if (!is_finite_point(x)) return std::numeric_limits<double>::quiet_NaN();
    return x[0] * x[0] + x[1] * x[1];
  }
  OptimResult<std::vector<double>> gradient(std::span<const double> x) const {
    if (!is_finite_point(x)) return std::vector<double>(2, std::numeric_limits<double>::quiet_NaN());
    return std::vector<double>{2.0 * x[0], 2.0 * x[1]};
  }
};

}  // namespace tondra::optim::testing
