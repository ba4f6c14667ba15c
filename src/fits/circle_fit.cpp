#include "fits/circle_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <utility>

#include "base/fault.hpp"
#include "base/pages.hpp"
#include "base/result.hpp"
#include "fits/binary_scale.hpp"
#include "fits/circle.hpp"
#include "fits/lsq_error.hpp"
#include "fits/normalised_frame.hpp"
#include "fits/point_geometry.hpp"
#include "linalg/array.hpp"
#include "linalg/svd.hpp"
#include "optim/core/executor.hpp"
#include "optim/solver/linesearch/morethuente.hpp"
#include "optim/solver/neldermead/neldermead.hpp"
#include "optim/solver/quasinewton/lbfgs.hpp"

namespace tondra {
namespace {

// More x values than this make Nelder-Mead warn: each of its many evaluations is O(n).
constexpr std::size_t kManyPointsForNelderMead = 10000;
// The settings below fix every result of fit_lsq to the bit; results are checked bit for bit
// against earlier releases, so none of them may move. 20 vertices, evenly round the start, are
// more than the 3 a two-parameter simplex needs and favour no direction.
constexpr std::size_t kSimplexVertices = 20;
// Written out rather than computed so that no libm or compiler can give a different last bit.
constexpr double kTwoPi = 6.283185307179586;  // the double nearest 2*pi
// Budgets: Nelder-Mead takes many cheap steps, L-BFGS few dear ones. 7 difference pairs hold
// more curvature than two parameters can use, at little cost per iteration.
constexpr std::uint64_t kNelderMeadIterations = 1000;
constexpr std::uint64_t kLbfgsIterations = 100;
constexpr std::size_t kLbfgsHistory = 7;
// Converged when the vertex costs' standard deviation is below this (costs are sums of squares
// in the unit-RMS frame, so this is relative to the data's own size). Looser than the solver's
// own default (2^-52), which the rounding noise of the costs can keep a run from ever reaching.
constexpr double kNelderMeadStdDevTolerance = 1e-15;
// Largest coordinates for which the Taubin fit runs on the data as they are: far enough inside
// the overflow and underflow limits of its squares and of LAPACK's own rescaling for any n.
constexpr double kTaubinPlainRange[2] = {0x1p-400, 0x1p400};

// Reads the run's best point, maps it back to the caller's frame and keeps the figures. The
// counts are the state's copy of the wrapper's counters as of the last step; a kind of
// evaluation the solver never asked for (Nelder-Mead's gradient) has no counter and reads 0.
// The figures cost nothing to keep: the counters are plain fields and the status is an enum
// until its text is asked for, once per run. Only the best point matters to the caller of
// fit_lsq; the rest serves benchmarks and diagnostics.
template <class R>
LsqReport report_of(R&& result, const NormalisedFrame& frame) {
  const optim::IterState& state = result.state;
  // An executor run always records a best point; missing one is a bug. The terse text is the
  // one this fault has always had; users may search their logs for it, so it stays.
  if (!state.best_param) base::fault("Found params");
  const optim::Vector& best = *state.best_param;
  base::check_index(1, best.size());
  LsqReport report;
  report.centre = frame.from_frame(best[0], best[1]);
  report.iterations = state.iteration;
  report.cost_count = state.counts.count_or_zero(optim::Evaluation::Cost);
  report.gradient_count = state.counts.count_or_zero(optim::Evaluation::Gradient);
  report.termination = optim::debug_text(state.status);
  report.reason = state.status.reason();
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
  optim::NelderMead solver =
      unwrap(wrap_lsq_error(optim::NelderMead(starting_simplex(u, v))
                                .with_diagnostics(false)  // the run drops them
                                .with_std_dev_tolerance(kNelderMeadStdDevTolerance)));
  optim::Executor executor(Circle(std::move(u), std::move(v)), std::move(solver));
  executor.configure(
      [](optim::IterState s) { return std::move(s).with_max_iterations(kNelderMeadIterations); });
  return report_of(unwrap(std::move(executor).run()), frame);
}

// L-BFGS from the frame's origin, the mean of the points.
LsqReport run_lbfgs(std::vector<double> u, std::vector<double> v, const NormalisedFrame& frame) {
  optim::LBFGS solver(optim::MoreThuenteLineSearch{}, kLbfgsHistory);
  optim::Executor executor(Circle(std::move(u), std::move(v)), std::move(solver));
  executor.configure([](optim::IterState s) {
    return std::move(s).with_param({0.0, 0.0}).with_max_iterations(kLbfgsIterations);
  });
  return report_of(unwrap(std::move(executor).run()), frame);
}

}  // namespace

std::vector<double> fit_geometrical(const CoordinateView xs, const CoordinateView ys) {
  return centroid(xs, ys);
}

LsqReport fit_lsq_report(const CoordinateView xs, const CoordinateView ys,
                         const std::string_view method) {
  // The two warnings go to fd 2 with no line break and the fit goes on, as they always have:
  // callers capture stderr and compare it byte for byte, so neither the text nor the missing
  // newline may change.
  if (xs.size() != ys.size()) base::warn("The number of x and y points must be the same.");
  const bool lbfgs = method == "lbfgs";
  const bool nelder_mead = method == "nelder_mead";
  // An unknown method is a fault (PanicException), not a ValueError, with this fixed text:
  // callers rely on both, so it stays so.
  if (!lbfgs && !nelder_mead) base::fault("not yet implemented");

  const NormalisedFrame frame = NormalisedFrame::of(xs, ys);
  std::vector<double> u = frame.to_frame_x(xs);
  std::vector<double> v = frame.to_frame_y(ys);

  if (nelder_mead) {
    if (u.size() > kManyPointsForNelderMead) {
      base::warn("The number of points is too high. Might lead to performance issues");
    }
    return run_nelder_mead(std::move(u), std::move(v), frame);
  }
  return run_lbfgs(std::move(u), std::move(v), frame);
}

std::vector<double> fit_lsq(const CoordinateView xs, const CoordinateView ys,
                            const std::string_view method) {
  return fit_lsq_report(xs, ys, method).centre;
}

// Taubin's fit in its SVD form. With the points centred on their centroid (u, v) and
// z = u^2 + v^2, the circle a z + b u + c v + d = 0 that best fits under Taubin's normalisation is
// the right singular vector of the smallest singular value of M = [w u v], w = (z - mean z) / 2r,
// r = sqrt(mean z); its first component p0 = 2 r a. The centre is then (x̄ - p1 / 2a, ȳ - p2 / 2a).
//
// Data that determine no circle make M non-finite (no points, one point, equal points: r = 0;
// a NaN or an infinity anywhere). LAPACK can spin forever on such a matrix, so it never gets one:
// the answer is [nan, nan]. Unequal lengths fault when the columns are stacked.
//
// The squares z overflow for coordinates beyond about 2^511 and underflow below about 2^-536,
// and LAPACK rescales M by factors that are not powers of two once its largest entry leaves
// [2^-459, 2^459]. Finite data whose largest coordinate lies outside kTaubinPlainRange are
// therefore fitted as 2^-e times themselves (binary_scale.hpp) and the centre is scaled back by
// 2^e: exact, so the result scales with the data bit for bit, and inside the range, where the
// rescaling would change no bit anyway, the data are fitted as they are.
std::vector<double> taubin_svd(CoordinateView xs, CoordinateView ys) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::size_t n = std::min(xs.size(), ys.size());
  // Each sum runs over its own vector in index order from +0.0; running the two (and below, z's)
  // in one loop only lets their additions overlap, it does not reorder them.
  double x_sum = +0.0;
  double y_sum = +0.0;
  double largest = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    x_sum += xs[i];
    y_sum += ys[i];
    largest = std::max(largest, std::max(std::fabs(xs[i]), std::fabs(ys[i])));
  }
  for (std::size_t i = n; i < xs.size(); ++i) x_sum += xs[i];
  for (std::size_t i = n; i < ys.size(); ++i) y_sum += ys[i];
  int exponent = 0;
  if (xs.size() != n || ys.size() != n) largest = largest_magnitude(xs, ys);
  // A NaN makes its sum NaN (max ignores it); finite values that overflow make it infinite.
  const bool finite = std::isfinite(largest) && !std::isnan(x_sum) && !std::isnan(y_sum);
  // The rescaled data, when the fit needs them; the views then read these.
  std::vector<double> scaled_xs;
  std::vector<double> scaled_ys;
  if (finite && largest > 0.0 &&
      !(largest >= kTaubinPlainRange[0] && largest <= kTaubinPlainRange[1])) {
    exponent = binary_exponent(largest);
    scaled_xs = scaled_by_power_of_two(xs, exponent);
    scaled_ys = scaled_by_power_of_two(ys, exponent);
    xs = scaled_xs;
    ys = scaled_ys;
    x_sum = sum_in_order(scaled_xs);
    y_sum = sum_in_order(scaled_ys);
  }
  const double x_mean = x_sum / static_cast<double>(xs.size());
  const double y_mean = y_sum / static_cast<double>(ys.size());

  // Unequal lengths make no matrix.
  if (xs.size() != ys.size()) {
    (void)unwrap(base::Result<base::Unit, linalg::ShapeError>(
        linalg::ShapeError::from_kind(linalg::ErrorKind::IncompatibleShape)));
  }

  // M is built where LAPACK will read it, column-major n x 3, one column after the other: w
  // (holding z = u^2 + v^2 until z's mean is known), then u, then v. u and v are computed twice,
  // the same way, rather than stored and copied: a pass that writes is dearer than the subtraction.
  std::vector<double> columns;
  columns.reserve(3 * n);
  base::prepare_pages(columns);
  double z_sum = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double u = xs[i] - x_mean;
    const double v = ys[i] - y_mean;
    const double z = u * u + v * v;
    columns.push_back(z);
    z_sum += z;
  }
  const double z_mean = z_sum / static_cast<double>(n);
  const double r = std::sqrt(z_mean);
  const double two_r = r + r;
  for (double& z : columns) z = (z - z_mean) / two_r;
  // M is finite exactly when its first column is: a u or v that is not finite makes its z, and
  // with it z's mean and every w, not finite either. One column is a third of the reading.
  const bool finite_matrix = linalg::all_finite(std::span<const double>(columns.data(), n));
  for (std::size_t i = 0; i < n; ++i) columns.push_back(xs[i] - x_mean);
  for (std::size_t i = 0; i < n; ++i) columns.push_back(ys[i] - y_mean);
  // Freed before LAPACK's work; xs and ys are not read past here.
  scaled_xs = {};
  scaled_ys = {};
  linalg::Array2 m = unwrap(linalg::Array2::from_col_major(n, 3, std::move(columns)));
  if (n == 0 || !finite_matrix) return {nan, nan};

  const linalg::SvdResult svd = unwrap(linalg::svd_into(std::move(m), false, true));
  if (!svd.vt) base::fault("called `Option::unwrap()` on a `None` value");
  const linalg::Array2& vt = *svd.vt;
  const double p0 = vt(2, 0);
  const double p1 = vt(2, 1);
  const double p2 = vt(2, 2);
  const double a = p0 / (2.0 * r);
  const double cx = x_mean - p1 / (2.0 * a);
  const double cy = y_mean - p2 / (2.0 * a);
  if (exponent == 0) return {cx, cy};
  return {std::ldexp(cx, exponent), std::ldexp(cy, exponent)};
}

}  // namespace tondra
