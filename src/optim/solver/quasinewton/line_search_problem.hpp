#pragma once
// LineSearchProblem<P>: the problem a quasi-Newton step hands to its nested line search. It owns
// the outer problem for the length of one search, so the nested executor counts the search's
// evaluations in its own wrapper, and the owner charges them to the outer counters afterwards.
// Cost and gradient (values and errors) pass through unchanged, and so does the combined
// evaluation of a problem that offers one.

#include <span>
#include <utility>
#include <vector>

#include "optim/core/optim_error.hpp"
#include "optim/core/problem.hpp"

namespace tondra::optim {

template <class P>
class LineSearchProblem {
 public:
  explicit LineSearchProblem(P problem) : problem_(std::move(problem)) {}

  OptimResult<double> cost(std::span<const double> x) { return problem_.cost(x); }
  decltype(auto) gradient(std::span<const double> x) { return problem_.gradient(x); }
  CostAndGradient cost_and_gradient(std::span<const double> x)
    requires CombinedEvaluation<P>
  {
    return problem_.cost_and_gradient(x);
  }

  // Hands the outer problem back.
  P into_problem() && { return std::move(problem_); }

 private:
  P problem_;
};

}  // namespace tondra::optim
