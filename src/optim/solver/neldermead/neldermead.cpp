#include "optim/solver/neldermead/neldermead.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

namespace tondra::optim {

const char* action_name(const NelderMeadAction action) {
  switch (action) {
    case NelderMeadAction::Reflection: return "Reflection";
    case NelderMeadAction::Expansion: return "Expansion";
    case NelderMeadAction::ContractionOutside: return "ContractionOutside";
    case NelderMeadAction::ContractionInside: return "ContractionInside";
    case NelderMeadAction::Shrink: return "Shrink";
  }
  return "";
}

NelderMead::NelderMead(std::vector<std::vector<double>> vertices) {
  simplex_.reserve(vertices.size());
  for (const std::vector<double>& v : vertices) simplex_.push_back(Vertex{Vector(v), std::nan("")});
}

OptimResult<NelderMead> NelderMead::with_std_dev_tolerance(const double tolerance) && {
  if (!(tolerance >= 0.0)) {
    return OptimError::invalid_parameter("`NelderMead`: std_dev_tolerance must be >= 0.");
  }
  std_dev_tolerance_ = tolerance;
  return std::move(*this);
}

TerminationStatus NelderMead::termination_test(const IterState& /*state*/) const {
  const double n = static_cast<double>(simplex_.size());
  double sum = +0.0;
  for (const Vertex& v : simplex_) sum += v.cost;
  const double mean = sum / n;
  double ss = +0.0;
  for (const Vertex& v : simplex_) {
    const double dev = v.cost - mean;
    ss += dev * dev;
  }
  // The sample deviation; the reciprocal first, so one vertex gives infinity * 0 = NaN.
  const double sd = std::sqrt((1.0 / (n - 1.0)) * ss);
  if (std_dev_tolerance_ > sd) return TerminationStatus::terminated(TerminationReason::Converged);
  return TerminationStatus{};
}

Vector NelderMead::contract(std::span<const double> x0,
                                         std::span<const double> x) const {
  return add(x0, mul(sub(x, x0), contraction_coeff_));
}

void NelderMead::sort_simplex(const std::size_t first_unsorted) {
  // Insertion sort, stable (a vertex moves only past strictly higher costs; NaN moves nowhere).
  // The moving vertex is held aside and the higher ones shifted up one place each: the order of
  // pairwise swaps, at a third of the copying.
  for (std::size_t k = first_unsorted; k < simplex_.size(); ++k) {
    if (!(simplex_[k - 1].cost > simplex_[k].cost)) continue;
    const Vertex held = simplex_[k];
    std::size_t j = k;
    for (; j > 0 && simplex_[j - 1].cost > held.cost; --j) simplex_[j] = simplex_[j - 1];
    simplex_[j] = held;
  }
}

Vector NelderMead::centroid_without_worst() const {
  const std::size_t n = simplex_.size();
  Vector x0 = simplex_[0].param;
  // The vertices' sum is what add_to over the vertices in order gives, faults included, but
  // taken coordinate by coordinate: each coordinate's additions keep their order, and the
  // checks all pass before any sum starts (a failing one throws, so nothing partial is seen).
  for (std::size_t k = 1; k + 1 < n; ++k) {
    detail::check_both_filled(x0, simplex_[k].param, base::SourcePos::here());
  }
  for (std::size_t i = 0; i < x0.size(); ++i) {
    double sum = x0[i];
    for (std::size_t k = 1; k + 1 < n; ++k) sum = sum + simplex_[k].param[i];
    x0[i] = sum;
  }
  const double inverse = 1.0 / static_cast<double>(n - 1);
  return mul(x0, inverse);
}

SolverStep NelderMead::report(IterState& state, const NelderMeadAction action) const {
  state.with_param(simplex_[0].param).with_cost(simplex_[0].cost);
  return SolverStep{KV().insert("action", std::string_view(action_name(action)))};
}

}  // namespace tondra::optim
