#include "kernel/known_fit.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>

#include "base/fault.hpp"
#include "kernel/arc_coverage.hpp"
#include "kernel/extreme_scale.hpp"
#include "kernel/shape_check.hpp"
#include "kernel/weighted_geometric.hpp"

namespace tondra::kit {
namespace {

void take(SetFit& fit, const WeightedCircle& c) {
  fit.cx = c.cx;
  fit.cy = c.cy;
  fit.stats.r = c.r;
  fit.stats.rms = c.rms;
  fit.stats.cov = c.cov;
  fit.stats.cov_exponent = c.cov_exponent;
  fit.iterations = c.iterations;
  fit.converged = c.converged;
  fit.termination = c.termination;
}

// The geometric fit with weights and bounds: the free minimum where it lies within the bounds,
// else the minimum with the radius held. `w` empty: all points alike, and the free minimum is
// the plain fit's own.
SetFit geometric(std::span<const double> x, std::span<const double> y, std::span<const double> w,
                 const RadiusBounds& bounds, Workspace& work) {
  WeightedScratch& scratch = work.weighted;
  std::optional<std::array<double, 2>> free_centre;
  if (w.empty()) {
    SetFit free = fit_set(x, y, Method::Geometric, work);
    const bool line_like = free.status == Status::LineLike;
    if (free.status == Status::Ok && bounds.contain(free.stats.r)) return free;
    if (free.status != Status::Ok && !line_like) return free;
    if (line_like && !bounds.bounded_above()) return free;
    if (std::isfinite(free.cx) && std::isfinite(free.cy)) free_centre = {free.cx, free.cy};
    scratch.w.assign(x.size(), 1.0);
    w = scratch.w;
  } else {
    const WeightedCircle free = weighted_geometric_fit(x, y, w, {}, std::nullopt, scratch);
    SetFit fit;
    fit.n = static_cast<std::int64_t>(x.size());
    take(fit, free);
    if (free.line_like && !bounds.bounded_above()) {
      fit.status = Status::LineLike;
      return fit;
    }
    if (!free.line_like && bounds.contain(free.r)) return fit;
    if (std::isfinite(free.cx) && std::isfinite(free.cy)) free_centre = {free.cx, free.cy};
  }
  const WeightedCircle held = weighted_geometric_fit(x, y, w, bounds, free_centre, scratch);
  SetFit fit;
  fit.n = static_cast<std::int64_t>(x.size());
  take(fit, held);
  // Rounding on the way back from the frame must not take the radius past a bound.
  fit.stats.r = std::min(std::max(fit.stats.r, bounds.lo), bounds.hi);
  if (held.line_like) fit.status = Status::LineLike;
  return fit;
}

SetFit algebraic(std::span<const double> x, std::span<const double> y, std::span<const double> w,
                 Method method, Workspace& work) {
  WeightedScratch& scratch = work.weighted;
  double cx = 0.0;
  double cy = 0.0;
  double own_r = std::numeric_limits<double>::quiet_NaN();
  if (method == Method::Centroid) {
    const std::array<double, 2> c = weighted_centroid(x, y, w);
    cx = c[0];
    cy = c[1];
  } else {
    const WeightedAlgebraic c = method == Method::Hyper ? weighted_hyper(x, y, w, scratch)
                                                        : weighted_taubin(x, y, w, scratch);
    cx = c.cx;
    cy = c.cy;
    own_r = c.r;
  }
  SetFit fit;
  fit.n = static_cast<std::int64_t>(x.size());
  if (!(std::isfinite(cx) && std::isfinite(cy))) {
    fit.status = Status::NoFiniteCircle;
    fit.cx = cx;
    fit.cy = cy;
    return fit;
  }
  const WeightedCircle at = weighted_circle_at(x, y, w, cx, cy, scratch);
  take(fit, at);
  if (method == Method::Hyper) {
    // Hyper's radius is its own; the rms about it follows from the one about the weighted mean
    // distance, as for the plain fit.
    const double shift = fit.stats.r - own_r;
    fit.stats.rms = root_sum_squares(fit.stats.rms, shift);
    fit.stats.r = own_r;
  }
  if (!std::isfinite(fit.stats.r)) fit.status = Status::NoFiniteCircle;
  return fit;
}

}  // namespace

SetFit fit_set_knowing(std::span<const double> x, std::span<const double> y, Method method,
                       const Knowns& knowns, Workspace& work) {
  if (!knowns.any()) return fit_set(x, y, method, work);
  base::check(x.size() == y.size(), "x.size() == y.size()");
  base::check(knowns.weights.empty() || knowns.weights.size() == x.size(),
              "weights.size() == x.size()");
  SetFit fit;
  fit.n = static_cast<std::int64_t>(x.size());
  if (!all_finite(x) || !all_finite(y)) {
    fit.status = Status::NotFinite;
    return fit;
  }

  // The points of positive weight, gathered.
  std::span<const double> px = x;
  std::span<const double> py = y;
  std::span<const double> pw;
  WeightedScratch& scratch = work.weighted;
  if (!knowns.weights.empty()) {
    scratch.x.clear();
    scratch.y.clear();
    scratch.w.clear();
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (!(knowns.weights[i] > 0.0)) continue;
      scratch.x.push_back(x[i]);
      scratch.y.push_back(y[i]);
      scratch.w.push_back(knowns.weights[i]);
    }
    px = scratch.x;
    py = scratch.y;
    pw = scratch.w;
    fit.n = static_cast<std::int64_t>(px.size());
  }
  if (px.size() < 3) {
    fit.status = Status::TooFew;
    return fit;
  }
  fit.status = shape_check(px, py);
  if (fit.status != Status::Ok) return fit;

  try {
    const base::QuietReports quiet;
    if (method == Method::Geometric) {
      fit = geometric(px, py, pw, knowns.bounds, work);
    } else {
      if (knowns.bounds.any()) base::fault("radius bounds apply to the geometric fit only");
      if (method == Method::Lsq || method == Method::NelderMead) {
        base::fault("the native fits take no weights");
      }
      fit = algebraic(px, py, pw, method, work);
    }
  } catch (const base::Fault& f) {
    SetFit failed;
    failed.n = static_cast<std::int64_t>(px.size());
    failed.status = Status::FitFailed;
    failed.message = f.message();
    return failed;
  }
  if (fit.status != Status::Ok) return fit;
  if (!(std::isfinite(fit.cx) && std::isfinite(fit.cy) && std::isfinite(fit.stats.r))) {
    fit.status = Status::NoFiniteCircle;
    return fit;
  }
  fit.arc = arc_coverage(px, py, fit.cx, fit.cy, work.a);
  if (method == Method::Geometric && !fit.converged) {
    fit.stats.cov.fill(kNaN);
    fit.stats.cov_exponent = 0;
  }
  const bool held = fit.stats.r == knowns.bounds.lo || fit.stats.r == knowns.bounds.hi;
  if (held && !(fit.stats.rms <= fit.stats.r)) fit.status = Status::NoCircleInBounds;
  return fit;
}

}  // namespace tondra::kit
