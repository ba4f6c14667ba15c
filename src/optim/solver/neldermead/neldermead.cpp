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
  points_.reserve(vertices.size());
  ranking_.reserve(vertices.size());
  uniform_ = !vertices.empty() && !vertices[0].empty();
  for (const std::vector<double>& v : vertices) {
    ranking_.push_back(Ranked{std::nan(""), points_.size()});
    points_.emplace_back(v);
    uniform_ = uniform_ && v.size() == vertices[0].size();
  }
}

std::vector<Vertex> NelderMead::simplex() const {
  std::vector<Vertex> out;
  out.reserve(ranking_.size());
  for (const Ranked& r : ranking_) out.push_back(Vertex{points_[r.slot], r.cost});
  return out;
}

OptimResult<NelderMead> NelderMead::with_std_dev_tolerance(const double tolerance) && {
  if (!(tolerance >= 0.0)) {
    return OptimError::invalid_parameter("`NelderMead`: std_dev_tolerance must be >= 0.");
  }
  std_dev_tolerance_ = tolerance;
  return std::move(*this);
}

TerminationStatus NelderMead::termination_test(const IterState& /*state*/) const {
  const double n = static_cast<double>(ranking_.size());
  // Most iterations are far from converged, and the spread of the costs shows it without the two
  // passes. Some cost lies at least half the spread d (max - min, which the gap between any two
  // costs bounds from below) from any mean, so the deviation exceeds d / (2 sqrt(n - 1)) but for
  // a few roundings; d > 4 sqrt(n) tolerance leaves it above the tolerance. With a NaN or
  // infinite cost the full test says "not converged" too. Gaps under 1e-150 go to the full test,
  // whose squares could underflow to zero.
  if (!ranking_.empty()) {
    const double spread = ranking_.back().cost - ranking_.front().cost;
    if (spread > 1e-150 && spread > 4.0 * std::sqrt(n) * std_dev_tolerance_) {
      return TerminationStatus{};
    }
  }
  // Unrolled only to save the loop's own work: the additions stay one chain in index order.
  double sum = +0.0;
#pragma GCC unroll 4
  for (const Ranked& r : ranking_) sum += r.cost;
  const double mean = sum / n;
  double ss = +0.0;
#pragma GCC unroll 4
  for (const Ranked& r : ranking_) {
    const double dev = r.cost - mean;
    ss += dev * dev;
  }
  // The sample deviation; the reciprocal first, so one vertex gives infinity * 0 = NaN.
  const double sd = std::sqrt((1.0 / (n - 1.0)) * ss);
  if (std_dev_tolerance_ > sd) return TerminationStatus::terminated(TerminationReason::Converged);
  return TerminationStatus{};
}

Vector NelderMead::contract(std::span<const double> x0, std::span<const double> x) const {
  return move_towards(x0, x, x0, contraction_coeff_);
}

Vector NelderMead::move_towards(std::span<const double> a, std::span<const double> b,
                                std::span<const double> c, const double s) const {
  if (!uniform_) return add(a, mul(sub(b, c), s));
  Vector out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double step = (b[i] - c[i]) * s;
    out[i] = a[i] + step;
  }
  return out;
}

void NelderMead::sort_simplex(const std::size_t first_unsorted) {
  // Insertion sort, stable (a vertex moves only past strictly higher costs; NaN moves nowhere).
  // The moving pair is held aside and the higher ones shifted up one place each: the order of
  // pairwise swaps, at a third of the copying.
  for (std::size_t k = first_unsorted; k < ranking_.size(); ++k) {
    if (!(ranking_[k - 1].cost > ranking_[k].cost)) continue;
    const Ranked held = ranking_[k];
    std::size_t j = k;
    for (; j > 0 && ranking_[j - 1].cost > held.cost; --j) ranking_[j] = ranking_[j - 1];
    ranking_[j] = held;
  }
}

Vector NelderMead::centroid_without_worst() const {
  const std::size_t n = ranking_.size();
  Vector x0 = points_[ranking_[0].slot];
  // The vertices' sum is what add_to over the vertices in order gives, faults included: the
  // checks all pass before any sum starts (a failing one throws, so nothing partial is seen), and
  // each coordinate's additions keep their order.
  if (!uniform_) {
    for (std::size_t k = 1; k + 1 < n; ++k) {
      detail::check_both_filled(x0, points_[ranking_[k].slot], base::SourcePos::here());
    }
  }
  const std::size_t dim = x0.size();
  if (uniform_ && dim == 2) {
    // A point in the plane (a circle's centre): both sums in registers, no inner loop.
    double s0 = x0[0];
    double s1 = x0[1];
#pragma GCC unroll 4
    for (std::size_t k = 1; k + 1 < n; ++k) {
      const double* p = points_[ranking_[k].slot].data();
      s0 = s0 + p[0];
      s1 = s1 + p[1];
    }
    x0[0] = s0;
    x0[1] = s1;
  } else {
    for (std::size_t k = 1; k + 1 < n; ++k) {
      const double* p = points_[ranking_[k].slot].data();
      for (std::size_t i = 0; i < dim; ++i) x0[i] = x0[i] + p[i];
    }
  }
  const double inverse = 1.0 / static_cast<double>(n - 1);
  return mul(x0, inverse);
}

SolverStep NelderMead::report(IterState& state, const NelderMeadAction action) const {
  const Ranked& best = ranking_[0];
  state.with_param(points_[best.slot]).with_cost(best.cost);
  if (!diagnostics_) return SolverStep{std::nullopt};
  return SolverStep{KV().insert("action", std::string_view(action_name(action)))};
}

}  // namespace tondra::optim
