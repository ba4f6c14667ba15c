#pragma once
// IterState: the record handed from step to step of a run and finally returned to the caller.
// One shape serves every solver: gradient-free solvers simply leave `grad` and `prev_grad` absent.
// Its vectors keep their elements inline, so handing the state on allocates nothing.
//
// Builders come in two forms: on an lvalue they change the state in place and return it; on an
// rvalue they return the changed state by value, so a configure callback can chain them:
//   [](IterState s) { return std::move(s).with_param({0.0, 0.0}).with_max_iterations(100); }
//
// Best-so-far rule (update_best): a cost is a new best when it is below best_cost, or when both
// are infinities of the same sign (so a solver that never evaluates the cost, leaving both at
// +infinity, still has every step's point recorded). NaN never counts, and an equal cost does not
// replace the best: the earliest point with the lowest cost wins.

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "optim/core/func_counts.hpp"

#include "optim/core/problem.hpp"
#include "optim/core/termination.hpp"
#include "optim/math/vector.hpp"

namespace tondra::optim {

struct IterState {
  using Vector = optim::Vector;
  static constexpr double kInfinity = std::numeric_limits<double>::infinity();

  std::optional<Vector> param;
  std::optional<Vector> prev_param;
  std::optional<Vector> best_param;
  std::optional<Vector> prev_best_param;
  std::optional<Vector> grad;
  std::optional<Vector> prev_grad;
  double cost = kInfinity;
  double prev_cost = kInfinity;
  double best_cost = kInfinity;
  double prev_best_cost = kInfinity;
  double target_cost = -kInfinity;
  std::uint64_t iteration = 0;
  std::uint64_t last_best_iteration = 0;
  std::uint64_t max_iterations = std::numeric_limits<std::uint64_t>::max();
  // A copy of the problem wrapper's counters as of the last func_counts.
  FuncCounts counts;
  std::optional<std::chrono::nanoseconds> elapsed = std::chrono::nanoseconds::zero();
  TerminationStatus status;

  // prev_param takes the old param (the older prev_param is dropped); param = p.
  IterState& with_param(Vector p) &;
  IterState with_param(Vector p) &&;
  // The same for grad and prev_grad.
  IterState& with_gradient(Vector g) &;
  IterState with_gradient(Vector g) &&;
  // prev_cost takes the old cost; cost = c.
  IterState& with_cost(double c) &;
  IterState with_cost(double c) &&;
  IterState& with_max_iterations(std::uint64_t n) &;
  IterState with_max_iterations(std::uint64_t n) &&;

  // Moves param (grad) out, leaving it absent; prev_param (prev_grad) is untouched.
  std::optional<Vector> take_param();
  std::optional<Vector> take_grad();

  // Copies every counter of the wrapper into `counts` (copied, not added); counters the wrapper
  // lacks keep their old entries.
  template <class P>
  IterState& func_counts(const Problem<P>& problem) & {
    counts.assign_present(problem.counts());
    return *this;
  }

  // Applies the best-so-far rule described above.
  IterState& update_best() &;

  // Sets status to Terminated with `reason` (a solver finding its own stopping rule met).
  IterState& terminate_with(TerminationReason reason) &;

 private:
  bool is_best_candidate() const;
};

}  // namespace tondra::optim
