#include "kit/set_fit.hpp"

#include <cmath>
#include <cstddef>
#include <vector>

#include "base/fault.hpp"
#include "circle_fit.hpp"
#include "kit/circle_stats.hpp"
#include "kit/shape_check.hpp"

namespace tondra::kit {
namespace {

bool all_finite(std::span<const double> values) noexcept {
  for (const double v : values) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

struct Centre {
  double cx = kNaN;
  double cy = kNaN;
  std::int64_t iterations = -1;
};

Centre centre_of(const std::vector<double>& centre, std::int64_t iterations) {
  base::check_index(1, centre.size());
  return {centre[0], centre[1], iterations};
}

// The centre by the native module's own functions, so that it is the native fit's to the bit.
// Faults propagate.
Centre native_centre(std::span<const double> x, std::span<const double> y, Method method) {
  switch (method) {
    case Method::Lsq:
    case Method::NelderMead: {
      const LsqReport report =
          fit_lsq_report(x, y, method == Method::Lsq ? "lbfgs" : "nelder_mead");
      return centre_of(report.centre, static_cast<std::int64_t>(report.iterations));
    }
    case Method::Taubin: return centre_of(taubin_svd(x, y), -1);
    case Method::Centroid: return centre_of(fit_geometrical(x, y), -1);
    case Method::Hyper:  // not available through this function yet
    case Method::Geometric: break;
  }
  base::fault("not yet implemented");
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
    centre = native_centre(x, y, method);
  } catch (const base::Fault& f) {
    fit.status = Status::FitFailed;
    fit.message = f.message();
    return fit;
  }
  fit.cx = centre.cx;
  fit.cy = centre.cy;
  fit.iterations = centre.iterations;

  const CircleStats stats = circle_stats(x, y, fit.cx, fit.cy, work.d);
  if (!(std::isfinite(fit.cx) && std::isfinite(fit.cy) && std::isfinite(stats.r))) {
    fit.status = Status::NoFiniteCircle;
    fit.stats.r = stats.r;
    return fit;
  }
  fit.stats = stats;
  return fit;
}

}  // namespace tondra::kit
