#pragma once
// Problem<P>: the wrapper through which a solver reaches the problem it minimises. It owns the
// problem and counts evaluations: "cost_count" and "gradient_count" grow by one before each
// evaluation, so a failing evaluation is counted too. A counter exists once counted at least once.
//
// A solver that runs a nested solver (a line search inside a quasi-Newton step) lends it this
// wrapper, so the nested evaluations are counted here as they happen.
//
// What a problem offers: `cost(std::span<const double>)` returning OptimResult<double>, and for
// gradient-based solvers `gradient(std::span<const double>)` returning OptimResult<Vector> (or
// OptimResult<std::vector<double>>, converted here). A problem whose cost and gradient never fail
// may also offer `cost_and_gradient(std::span<const double>)` returning CostAndGradient: both at
// one point from one pass over its data. Coordinate vectors convert to the span implicitly.

#include <cmath>
#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/fault.hpp"
#include "optim/core/func_counts.hpp"
#include "optim/core/optim_error.hpp"
#include "optim/math/vector.hpp"

namespace tondra::optim {

template <class P>
concept CostFunction = requires(P& p, std::span<const double> x) {
  { p.cost(x) } -> std::same_as<OptimResult<double>>;
};

template <class P>
concept Gradient = requires(P& p, std::span<const double> x) {
  requires std::same_as<decltype(p.gradient(x)), OptimResult<Vector>> ||
               std::same_as<decltype(p.gradient(x)), OptimResult<std::vector<double>>>;
};

// The cost and the gradient at one point.
struct CostAndGradient {
  double cost;
  Vector grad;
};

template <class P>
concept CombinedEvaluation = requires(P& p, std::span<const double> x) {
  { p.cost_and_gradient(x) } -> std::same_as<CostAndGradient>;
};

// Faults with the text of unwrapping an absent optional, at the caller's position.
[[noreturn]] void fault_none(base::SourcePos where = base::SourcePos::here());

template <class P>
class Problem {
 public:
  explicit Problem(P problem) : problem_(std::move(problem)) {}

  OptimResult<double> cost(std::span<const double> param) requires CostFunction<P>
  {
    counts_.add(Evaluation::Cost, 1);
    return problem().cost(param);
  }

  OptimResult<Vector> gradient(std::span<const double> param) requires Gradient<P>
  {
    counts_.add(Evaluation::Gradient, 1);
    if constexpr (std::same_as<decltype(problem().gradient(param)), OptimResult<Vector>>) {
      return problem().gradient(param);
    } else {
      OptimResult<std::vector<double>> g = problem().gradient(param);
      if (!g) return std::move(g).error();
      return Vector(g.value());
    }
  }

  // The cost, then the gradient, at one point, counted as those two calls would count them (a
  // failing cost stops before the gradient). One call of the problem when it offers both at once.
  OptimResult<CostAndGradient> cost_and_gradient(std::span<const double> param)
      requires CostFunction<P> && Gradient<P>
  {
    if constexpr (CombinedEvaluation<P>) {
      counts_.add(Evaluation::Cost, 1);
      counts_.add(Evaluation::Gradient, 1);
      return problem().cost_and_gradient(param);
    } else {
      OptimResult<double> f = cost(param);
      if (!f) return std::move(f).error();
      OptimResult<Vector> g = gradient(param);
      if (!g) return std::move(g).error();
      return CostAndGradient{f.value(), std::move(g).value()};
    }
  }

  P& problem() { return problem_; }
  const P& problem() const { return problem_; }

  const FuncCounts& counts() const { return counts_; }
  // Sets the counters back to an earlier copy of them: an owner whose nested run failed charges
  // none of that run's evaluations.
  void reset_counts(const FuncCounts& earlier) { counts_ = earlier; }

 private:
  P problem_;
  FuncCounts counts_;
};

// The cost and gradient at a start point that an owner may already know. Solvers that accept a
// start from their owner (a line search handed the outer step's point) take what is known and
// evaluate the rest: an infinite cost means "not known" (NaN is kept as it is), an absent
// gradient likewise. At most one evaluation of each, cost first; an evaluation error is returned.
using StartPoint = CostAndGradient;

template <class P>
OptimResult<StartPoint> complete_start_point(Problem<P>& problem, std::span<const double> param,
                                             double known_cost, std::optional<Vector> known_grad) {
  double cost = known_cost;
  if (std::isinf(cost) && !known_grad) return problem.cost_and_gradient(param);
  if (std::isinf(cost)) {
    OptimResult<double> evaluated = problem.cost(param);
    if (!evaluated) return std::move(evaluated).error();
    cost = evaluated.value();
  }
  if (!known_grad) {
    OptimResult<Vector> evaluated = problem.gradient(param);
    if (!evaluated) return std::move(evaluated).error();
    known_grad = std::move(evaluated).value();
  }
  return StartPoint{cost, std::move(*known_grad)};
}

}  // namespace tondra::optim
