#include "fits/circle.hpp"

#include <algorithm>
#include <bit>
#include <utility>

#include "base/fault.hpp"
#include "base/stop.hpp"
#include "fits/point_geometry.hpp"

namespace tondra {

Circle::Circle(std::vector<double> xs, std::vector<double> ys)
    : xs_(std::move(xs)), ys_(std::move(ys)), distances_(std::min(xs_.size(), ys_.size())) {}

std::array<std::uint64_t, 2> Circle::key_of(const double cx, const double cy) {
  return {std::bit_cast<std::uint64_t>(cx), std::bit_cast<std::uint64_t>(cy)};
}

namespace {

// Whether `held` is the key `at`. Element by element: comparing the arrays with == calls memcmp,
// which costs more than the two compares on a path taken once per evaluation.
bool holds_key(const std::optional<std::array<std::uint64_t, 2>>& held,
               const std::array<std::uint64_t, 2>& at) {
  return held.has_value() && (*held)[0] == at[0] && (*held)[1] == at[1];
}

}  // namespace

double Circle::fill_distances(const double cx, const double cy) const {
  const std::array<std::uint64_t, 2> at = key_of(cx, cy);
  if (holds_key(filled_at_, at)) return filled_mean_;
  const std::size_t n = distances_.size();
  const double* const x = xs_.data();
  const double* const y = ys_.data();
  double* const d = distances_.data();
  // Two loops: the distances vectorise, the sum must run in index order.
  for (std::size_t i = 0; i < n; ++i) d[i] = distance(x[i], y[i], cx, cy);
  double sum = +0.0;
  for (std::size_t i = 0; i < n; ++i) sum += d[i];
  filled_at_ = at;
  filled_mean_ = sum / static_cast<double>(n);
  return filled_mean_;
}

double Circle::mean_distance_to_center(std::span<const double> center) const {
  if (distances_.empty()) return 0.0;
  // The first point's distance reads center[0], then center[1].
  base::check_index(0, center.size());
  base::check_index(1, center.size());
  const double m = fill_distances(center[0], center[1]);
  const std::size_t n = distances_.size();
  const double* const d = distances_.data();
  double ss = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double dev = d[i] - m;
    ss += dev * dev;
  }
  return ss;
}

optim::OptimResult<double> Circle::cost(std::span<const double> param) const {
  base::check_index(0, param.size());
  base::check_index(1, param.size());
  const double center[2] = {param[0], param[1]};
  base::poll_stop(xs_.size());
  return mean_distance_to_center(center);
}

optim::OptimResult<optim::Vector> Circle::gradient(std::span<const double> param) const {
  if (distances_.empty()) return optim::Vector{0.0, 0.0};
  base::check_index(0, param.size());
  base::check_index(1, param.size());
  const double cx = param[0];
  const double cy = param[1];
  if (holds_key(grad_at_, key_of(cx, cy))) return optim::Vector{grad_[0], grad_[1]};
  base::poll_stop(xs_.size());
  const double m = fill_distances(cx, cy);
  const std::size_t n = distances_.size();
  const double* const x = xs_.data();
  const double* const y = ys_.data();
  const double* const d = distances_.data();
  double s0 = +0.0;
  double s1 = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = d[i] == 0.0 ? 0.0 : (d[i] - m) / d[i];
    s0 += w * (cx - x[i]);
    s1 += w * (cy - y[i]);
  }
  return optim::Vector{2.0 * s0, 2.0 * s1};
}

optim::CostAndGradient Circle::cost_and_gradient(std::span<const double> param) const {
  base::check_index(0, param.size());
  base::check_index(1, param.size());
  if (distances_.empty()) return {0.0, optim::Vector{0.0, 0.0}};
  const double cx = param[0];
  const double cy = param[1];
  const double m = fill_distances(cx, cy);
  const std::size_t n = distances_.size();
  const double* const x = xs_.data();
  const double* const y = ys_.data();
  const double* const d = distances_.data();
  // The three sums of cost and gradient, each in index order as in the separate evaluations;
  // side by side they share the loads and overlap their additions.
  double ss = +0.0;
  double s0 = +0.0;
  double s1 = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double dev = d[i] - m;
    ss += dev * dev;
    const double w = d[i] == 0.0 ? 0.0 : dev / d[i];
    s0 += w * (cx - x[i]);
    s1 += w * (cy - y[i]);
  }
  grad_at_ = key_of(cx, cy);
  grad_ = {2.0 * s0, 2.0 * s1};
  return {ss, optim::Vector{grad_[0], grad_[1]}};
}

}  // namespace tondra
