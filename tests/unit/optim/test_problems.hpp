#pragma once
// Small problems that know their answer, shared by the solver tests: minimisers with known
// minima for every solver, one-dimensional curves for the line search, and a count reader.

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "optim/core/iter_state.hpp"
#include "optim/core/optim_error.hpp"

namespace tondra::optim::testing {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The count of the state's copy of a counter, 0 when it has no entry.
inline std::uint64_t count_of(const IterState& state, Evaluation kind) {
  return state.counts.count_or_zero(kind);
}

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
    if (!is_finite_point(x)) return kNaN;
    return x[0] * x[0] + x[1] * x[1];
  }
  OptimResult<std::vector<double>> gradient(std::span<const double> x) const {
    if (!is_finite_point(x)) return std::vector<double>(2, kNaN);
    return std::vector<double>{2.0 * x[0], 2.0 * x[1]};
  }
};

// The line-search problems: f(a) at the 1-D point a, with its derivative. Records, through a
// pointer that outlives the run, each point at which the cost was asked.
struct Curve {
  double (*f)(double);
  double (*df)(double);
  std::vector<double>* trials = nullptr;

  OptimResult<double> cost(std::span<const double> x) const {
    if (trials != nullptr) trials->push_back(x[0]);
    return f(x[0]);
  }
  OptimResult<std::vector<double>> gradient(std::span<const double> x) const {
    return std::vector<double>{df(x[0])};
  }
};

inline double shifted_parabola3(double a) { return (a - 3.0) * (a - 3.0) - 9.0; }
inline double shifted_parabola3_slope(double a) { return 2.0 * (a - 3.0); }
inline double shifted_parabola100(double a) { return (a - 100.0) * (a - 100.0) - 10000.0; }
inline double shifted_parabola100_slope(double a) { return 2.0 * (a - 100.0); }
// Enough decrease at a = 1 but a slope there of +1, steeper than the start's -1.
inline double quartic_well(double a) { return -a + 0.5 * a * a * a * a; }
inline double quartic_well_slope(double a) { return -1.0 + 2.0 * a * a * a; }
// A barely falling line under a fast ripple: the first interpolated step lands on the ripple,
// short of enough decrease but below the first trial.
inline double rippled_line(double a) {
  return -0.001 * a + 0.1 * std::sin(5.0 * a) * std::sin(5.0 * a);
}
inline double rippled_line_slope(double a) { return -0.001 + 0.5 * std::sin(10.0 * a); }
// |a - 1| with its corner rounded off, under a ripple of 39 half-waves per unit step: the
// interpolations keep landing on the ripple, so the interval shrinks slowly.
constexpr double kRippleWaves = 39.0;
constexpr double kCorner = 0.01;
inline double rippled_vee(double a) {
  const double vee = a <= 1.0 - kCorner   ? 1.0 - a
                     : a >= 1.0 + kCorner ? a - 1.0
                                          : (a - 1.0) * (a - 1.0) / (2.0 * kCorner) + kCorner / 2.0;
  return vee +
         2.0 * (1.0 - kCorner) / (kRippleWaves * M_PI) * std::sin(kRippleWaves * M_PI / 2.0 * a);
}
inline double rippled_vee_slope(double a) {
  const double vee = a <= 1.0 - kCorner ? -1.0 : a >= 1.0 + kCorner ? 1.0 : (a - 1.0) / kCorner;
  return vee + (1.0 - kCorner) * std::cos(kRippleWaves * M_PI / 2.0 * a);
}
inline double falling_line(double a) { return -a; }
inline double falling_line_slope(double /*a*/) { return -1.0; }
inline double nan_beyond_half(double a) { return a > 0.5 ? kNaN : -a; }
inline double nan_beyond_half_slope(double a) { return a > 0.5 ? kNaN : -1.0; }

}  // namespace tondra::optim::testing
