#include "optim/solver/quasinewton/lbfgs.hpp"

namespace tondra::optim {

LBFGS::LBFGS(MoreThuenteLineSearch line_search, const std::size_t history_size)
    : line_search_(std::move(line_search)), history_size_(history_size) {
  step_history_.reserve(history_size_);
  grad_history_.reserve(history_size_);
}

TerminationStatus LBFGS::termination_test(const IterState& state) const {
  if (!state.grad) fault_none();  // init always leaves a gradient
  if (norm(*state.grad) < grad_tolerance_) {
    return TerminationStatus::terminated(TerminationReason::Converged);
  }
  if (std::fabs(state.prev_cost - state.cost) < cost_tolerance_) {
    return TerminationStatus::terminated(TerminationReason::Converged);
  }
  return TerminationStatus{};
}

double LBFGS::scaling() const {
  if (step_history_.empty() || grad_history_.empty()) return 1.0;
  const std::vector<double>& s = step_history_.back();
  const std::vector<double>& y = grad_history_.back();
  return dot(s, y) / dot(y, y);
}

std::vector<double> LBFGS::direction(const std::span<const double> g, const double gamma) const {
  const std::size_t n = step_history_.size();
  std::vector<double> alpha(n, 0.0);
  std::vector<double> rho(n, 0.0);
  std::vector<double> q(g.begin(), g.end());
  for (std::size_t j = n; j-- > 0;) {
    rho[j] = 1.0 / dot(grad_history_[j], step_history_[j]);
    alpha[j] = rho[j] * dot(step_history_[j], q);
    q = sub(q, mul(grad_history_[j], alpha[j]));
  }
  std::vector<double> r = mul(q, gamma);
  for (std::size_t j = 0; j < n; ++j) {
    const double beta = dot(grad_history_[j], r) * rho[j];
    r = add(r, mul(step_history_[j], alpha[j] - beta));
  }
  for (double& v : r) v = -v;
  return r;
}

void LBFGS::record_pair(const std::uint64_t iteration, std::vector<double> s,
                        std::vector<double> y) {
  // Iterations 0 .. m-1 fill the history; each later one first makes room, so it never holds
  // more than m pairs (one pair when m is 0).
  if (iteration >= history_size_) {
    if (!step_history_.empty()) step_history_.erase(step_history_.begin());
    if (!grad_history_.empty()) grad_history_.erase(grad_history_.begin());
  }
  step_history_.push_back(std::move(s));
  grad_history_.push_back(std::move(y));
}

}  // namespace tondra::optim
