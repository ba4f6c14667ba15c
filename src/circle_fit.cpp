#include "circle_fit.hpp"

#include <cmath>
#include <utility>

#include "aux_funcs.hpp"
#include "circle.hpp"
#include "errors.hpp"
#include "host/fault.hpp"
#include "normalised_frame.hpp"
#include "optim/core/executor.hpp"
#include "optim/solver/neldermead/neldermead.hpp"
#include "result.hpp"

namespace tondra {
namespace {

// More x values than this make Nelder-Mead warn: each of its many evaluations is O(n).
constexpr std::size_t kManyPointsForNelderMead = 10000;
constexpr std::size_t kSimplexVertices = 20;
constexpr double kTwoPi = 6.283185307179586;  // the double nearest 2*pi
constexpr std::uint64_t kNelderMeadIterations = 1000;
// Converged when the vertex costs' standard deviation is below this (costs are sums of squares
// in the unit-RMS frame, so this is relative to the data's own size).
constexpr double kNelderMeadStdDevTolerance = 1e-15;

std::uint64_t count_of(const optim::FuncCounts& counts, std::string_view key) {
  const auto it = counts.find(key);
  return it == counts.end() ? 0 : it->second;
}

// Reads the run's best point, maps it back to the caller's frame and keeps the figures.
template <class R>
LsqReport report_of(R&& result, const NormalisedFrame& frame) {
  const optim::IterState& state = result.state;
  if (!state.best_param) host::fault("Found params");
  const std::vector<double>& best = *state.best_param;
  host::check_index(1, best.size());
  LsqReport report;
  report.centre = frame.from_frame(best[0], best[1]);
  report.iterations = state.iteration;
  report.cost_count = count_of(state.counts, optim::kCostCount);
  report.gradient_count = count_of(state.counts, optim::kGradientCount);
  report.termination = optim::debug_text(state.status);
  return report;
}

// The starting simplex: kSimplexVertices points on a circle around the centroid of (u, v) whose
// radius is the mean distance of the points from that centroid, so the simplex has the size of
// the data whatever their number. (A radius of five times the objective value, a sum of squares
// growing with n, sent the simplex to radii of 1e6-1e8 on ordinary arcs.)
std::vector<std::vector<double>> starting_simplex(const std::vector<double>& u,
                                                  const std::vector<double>& v) {
  const double c0 = sum_in_order(u) / static_cast<double>(u.size());
  const double c1 = sum_in_order(v) / static_cast<double>(v.size());
  const std::size_t n = std::min(u.size(), v.size());
  double radius = 0.0;
  if (n > 0) {
    double sum = +0.0;
    for (std::size_t i = 0; i < n; ++i) sum += distance(u[i], v[i], c0, c1);
    radius = sum / static_cast<double>(n);
  }
  std::vector<std::vector<double>> vertices;
  vertices.reserve(kSimplexVertices);
  for (std::size_t i = 0; i < kSimplexVertices; ++i) {
    const double theta = (static_cast<double>(i) * kTwoPi) / static_cast<double>(kSimplexVertices);
    double sin_theta = 0.0;
    double cos_theta = 0.0;
    ::sincos(theta, &sin_theta, &cos_theta);
    const double dx = radius * cos_theta;
    const double dy = radius * sin_theta;
    vertices.push_back({c0 + dx, c1 + dy});
  }
  return vertices;
}

LsqReport run_nelder_mead(std::vector<double> u, std::vector<double> v,
                          const NormalisedFrame& frame) {
  optim::NelderMead solver = unwrap(wrap_lsq_error(
      optim::NelderMead(starting_simplex(u, v)).with_std_dev_tolerance(kNelderMeadStdDevTolerance)));
  optim::Executor executor(Circle(std::move(u), std::move(v)), std::move(solver));
  executor.configure(
      [](optim::IterState s) { return std::move(s).with_max_iterations(kNelderMeadIterations); });
  return report_of(unwrap(std::move(executor).run()), frame);
}

}  // namespace

std::vector<double> fit_geometrical(std::vector<double> xs, std::vector<double> ys) {
  return get_circle_centroid(std::move(xs), std::move(ys));
}

LsqReport fit_lsq_report(std::vector<double> xs, std::vector<double> ys, std::string_view method) {
  if (xs.size() != ys.size()) host::write_stderr("The number of x and y points must be the same.");
  const bool lbfgs = method == "lbfgs";
  const bool nelder_mead = method == "nelder_mead";
  if (!lbfgs && !nelder_mead) host::fault("not yet implemented");

  const NormalisedFrame frame = NormalisedFrame::of(xs, ys);
  std::vector<double> u = frame.to_frame_x(xs);
  std::vector<double> v = frame.to_frame_y(ys);
  xs = {};
  ys = {};

  if (nelder_mead) {
    if (u.size() > kManyPointsForNelderMead) {
      host::write_stderr("The number of points is too high. Might lead to performance issues");
    }
    return run_nelder_mead(std::move(u), std::move(v), frame);
  }
  host::fault("not yet implemented");
}

std::vector<double> fit_lsq(std::vector<double> xs, std::vector<double> ys, std::string_view method) {
  return fit_lsq_report(std::move(xs), std::move(ys), method).centre;
}

std::vector<double> taubin_svd(std::vector<double> /*xs*/, std::vector<double> /*ys*/) {
  host::fault("not yet implemented");
}

}  // namespace tondra
