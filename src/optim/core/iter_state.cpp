#include "optim/core/iter_state.hpp"

#include <cmath>
#include <utility>

namespace tondra::optim {

IterState& IterState::with_param(Vector p) & {
  prev_param = std::exchange(param, std::move(p));
  return *this;
}
IterState IterState::with_param(Vector p) && { return std::move(with_param(std::move(p))); }

IterState& IterState::with_gradient(Vector g) & {
  prev_grad = std::exchange(grad, std::move(g));
  return *this;
}
IterState IterState::with_gradient(Vector g) && { return std::move(with_gradient(std::move(g))); }

IterState& IterState::with_cost(const double c) & {
  prev_cost = std::exchange(cost, c);
  return *this;
}
IterState IterState::with_cost(const double c) && { return std::move(with_cost(c)); }

IterState& IterState::with_max_iterations(const std::uint64_t n) & {
  max_iterations = n;
  return *this;
}
IterState IterState::with_max_iterations(const std::uint64_t n) && {
  return std::move(with_max_iterations(n));
}

std::optional<IterState::Vector> IterState::take_param() {
  return std::exchange(param, std::nullopt);
}
std::optional<IterState::Vector> IterState::take_grad() {
  return std::exchange(grad, std::nullopt);
}

bool IterState::is_best_candidate() const {
  // Two infinities of the same sign compare equal, not less; they still count so that a run whose
  // costs are all +infinity records its points.
  const bool same_infinity =
      std::isinf(cost) && std::isinf(best_cost) && std::signbit(cost) == std::signbit(best_cost);
  return cost < best_cost || same_infinity;
}

IterState& IterState::update_best() & {
  if (!is_best_candidate()) return *this;
  if (param) prev_best_param = std::exchange(best_param, *param);
  prev_best_cost = std::exchange(best_cost, cost);
  last_best_iteration = iteration;
  return *this;
}

IterState& IterState::terminate_with(const TerminationReason reason) & {
  status = TerminationStatus::terminated(reason);
  return *this;
}

}  // namespace tondra::optim
