#include "optim/solver/quasinewton/lbfgs.hpp"

namespace tondra::optim {

LBFGS::LBFGS(MoreThuenteLineSearch line_search, const std::size_t history_size)
    : line_search_(std::move(line_search)), history_size_(history_size) {
  // With m = 0 one pair is still held (record_pair).
  const std::size_t most = history_size_ == 0 ? 1 : history_size_;
  step_history_.reserve(most);
  grad_history_.reserve(most);
  rho_.resize(most);
  alpha_.resize(most);
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
  const Vector& s = step_history_.back();
  const Vector& y = grad_history_.back();
  return dot(s, y) / dot(y, y);
}

Vector LBFGS::direction(const std::span<const double> g, const double gamma) const {
  const std::size_t n = step_history_.size();
  std::vector<double>& alpha = alpha_;
  std::vector<double>& rho = rho_;
  Vector q(g);
  for (std::size_t j = n; j-- > 0;) {
    rho[j] = 1.0 / dot(grad_history_[j], step_history_[j]);
    alpha[j] = rho[j] * dot(step_history_[j], q);
    sub_scaled(q, grad_history_[j], alpha[j]);  // q - y_j alpha_j
  }
  Vector r = mul(q, gamma);
  for (std::size_t j = 0; j < n; ++j) {
    const double beta = dot(grad_history_[j], r) * rho[j];
    add_scaled(r, step_history_[j], alpha[j] - beta);  // r + s_j (alpha_j - beta)
  }
  for (double& v : r) v = -v;
  return r;
}

void LBFGS::record_pair(const std::uint64_t iteration, const Vector& s, const Vector& y) {
  // Iterations 0 .. m-1 fill the history; each later one first makes room, so it never holds
  // more than m pairs (one pair when m is 0).
  if (iteration >= history_size_) {
    if (!step_history_.empty()) step_history_.erase(step_history_.begin());
    if (!grad_history_.empty()) grad_history_.erase(grad_history_.begin());
  }
  step_history_.push_back(s);
  grad_history_.push_back(y);
}

}  // namespace tondra::optim
