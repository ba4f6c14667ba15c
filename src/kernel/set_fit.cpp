#include "kernel/set_fit.hpp"

#include <cmath>
#include <cstddef>
#include <optional>
#include <vector>

#include "base/fault.hpp"
#include "fits/circle_fit.hpp"
#include "kernel/arc_coverage.hpp"
#include "kernel/circle_stats.hpp"
#include "kernel/convergence.hpp"
#include "kernel/covariance.hpp"
#include "kernel/extreme_scale.hpp"
#include "kernel/geometric.hpp"
#include "kernel/hyper.hpp"
#include "kernel/shape_check.hpp"

namespace tondra::kit {
namespace {

struct Centre {
  double cx = kNaN;
  double cy = kNaN;
  std::int64_t iterations = -1;
  double algebraic_r = kNaN;  // Hyper's own radius
  bool line_like = false;     // geometric: the points fit a line better than any circle
  bool converged = false;     // geometric: its own verdict
  Termination termination = Termination::None;
};

Centre centre_of(const std::vector<double>& centre, std::int64_t iterations) {
  base::check_index(1, centre.size());
  return {centre[0], centre[1], iterations};
}

// The optimiser's reason in the kit's words. A solver that gave up (L-BFGS's line search found
// no lower cost) made no progress; a target cost is met only as a minimum is.
Termination termination_of(const std::optional<optim::TerminationReason>& reason) {
  if (!reason) return Termination::None;
  switch (*reason) {
    case optim::TerminationReason::Converged:
    case optim::TerminationReason::TargetCostMet: return Termination::Converged;
    case optim::TerminationReason::IterationLimit: return Termination::MaxIterations;
    case optim::TerminationReason::SolverStopped:
    case optim::TerminationReason::TimeLimit:
    case optim::TerminationReason::Interrupted: return Termination::NoProgress;
  }
  return Termination::None;
}

// The centre: by the native module's own functions for its methods, so that it is the native
// fit's to the bit; by the kit's own fits for the others. Faults propagate.
Centre centre_by(std::span<const double> x, std::span<const double> y, Method method) {
  switch (method) {
    case Method::Lsq:
    case Method::NelderMead: {
      const LsqReport report =
          fit_lsq_report(x, y, method == Method::Lsq ? "lbfgs" : "nelder_mead");
      Centre centre = centre_of(report.centre, static_cast<std::int64_t>(report.iterations));
      centre.termination = termination_of(report.reason);
      return centre;
    }
    case Method::Taubin: return centre_of(taubin_svd(x, y), -1);
    case Method::Centroid: return centre_of(fit_geometrical(x, y), -1);
    case Method::Hyper: {
      const AlgebraicCircle c = hyper_svd(x, y);
      Centre centre{c.cx, c.cy, -1, c.r};
      if (!c.ok) centre.cx = centre.cy = kNaN;
      return centre;
    }
    case Method::Geometric: {
      const GeometricFit g = geometric_fit(x, y);
      Centre centre{g.cx, g.cy, g.iterations};
      centre.line_like = g.line_like;
      centre.converged = g.converged;
      centre.termination = g.termination;
      return centre;
    }
  }
  base::fault("unknown method");
}

// Methods whose centre is meant to minimise the distances: their covariance stands only where
// it does.
bool is_least_squares(Method method) {
  return method == Method::Lsq || method == Method::NelderMead || method == Method::Geometric;
}

bool variances_non_negative(const std::array<double, 9>& cov) {
  return cov[0] >= 0.0 && cov[4] >= 0.0 && cov[8] >= 0.0;
}

}  // namespace

Status set_problem(std::span<const double> x, std::span<const double> y) noexcept {
  // A bad coordinate is reported before the points are counted, as the kit's input checks do.
  if (!all_finite(x) || !all_finite(y)) return Status::NotFinite;
  if (x.size() < 3) return Status::TooFew;
  return shape_check(x, y);
}

SetFit fit_set(std::span<const double> x, std::span<const double> y, Method method,
               Workspace& work) {
  base::check(x.size() == y.size(), "x.size() == y.size()");
  SetFit fit;
  fit.n = static_cast<std::int64_t>(x.size());
  fit.status = set_problem(x, y);
  if (fit.status != Status::Ok) return fit;

  Centre centre;
  try {
    const base::QuietReports quiet;
    centre = centre_by(x, y, method);
  } catch (const base::Fault& f) {
    fit.status = Status::FitFailed;
    fit.message = f.message();
    return fit;
  }
  fit.cx = centre.cx;
  fit.cy = centre.cy;
  fit.iterations = centre.iterations;
  fit.termination = centre.termination;
  if (centre.line_like) {
    fit.status = Status::LineLike;
    return fit;
  }

  const CircleStats stats = circle_stats(x, y, fit.cx, fit.cy, work.d);
  if (!(std::isfinite(fit.cx) && std::isfinite(fit.cy) && std::isfinite(stats.r))) {
    fit.status = Status::NoFiniteCircle;
    fit.stats.r = stats.r;
    return fit;
  }
  fit.stats = stats;
  if (method == Method::Hyper) {
    // Hyper's radius is its own (where its small bias lives); the rms about it follows from
    // the one about the mean distance: mean (d - R)^2 = mean (d - r)^2 + (r - R)^2.
    const double shift = fit.stats.r - centre.algebraic_r;
    fit.stats.rms = root_sum_squares(fit.stats.rms, shift);
    fit.stats.r = centre.algebraic_r;
  }
  fit.converged = method == Method::Geometric ? centre.converged
                                              : is_least_squares_minimum(x, y, fit.cx, fit.cy);
  fit.arc = arc_coverage(x, y, fit.cx, fit.cy, work.a);
  if (is_least_squares(method)) {
    // Where the centre is no minimum the first-order covariance means nothing; where rounding
    // made a variance of an ill-conditioned fit negative, the stable form is used instead.
    if (!fit.converged) {
      fit.stats.cov.fill(kNaN);
      fit.stats.cov_exponent = 0;
    } else if (!variances_non_negative(fit.stats.cov)) {
      const ScaledCovariance stable = covariance_at_scaled(x, y, fit.cx, fit.cy, fit.stats.r, true);
      fit.stats.cov = stable.cov;
      fit.stats.cov_exponent = stable.exponent;
    }
  }
  return fit;
}

}  // namespace tondra::kit
