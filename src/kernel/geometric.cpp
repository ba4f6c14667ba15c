#include "kernel/geometric.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>

#include "base/stop.hpp"
#include "kernel/centre_problem.hpp"
#include "kernel/hyper.hpp"
#include "kernel/numbers.hpp"
#include "kernel/plane_length.hpp"
#include "kernel/unit_frame.hpp"

// The iteration. The radius is eliminated (centre_problem.hpp): for a centre c = (a, b) of the
// frame it is the mean distance, and Levenberg-Marquardt runs on the centre alone, with the
// exact Jacobian of the residuals e_i = d_i - mean d. A step solves
// (J^T J + lambda D) delta = h, D the diagonal of J^T J (so the damping is blind to the data's
// orientation), and is taken when F falls; lambda follows the gain ratio rho as Nielsen has it,
// scaled by max(1/3, 1 - (2 rho - 1)^3) after a success and by nu = 2, 4, 8, ... after each
// failure in a row. It starts at 0 and returns there (see kFirstDamping).
//
// Rounding level. A residual carries an error of a few eps (tau below: the frame's data have
// unit spread, and the residuals are computed without cancellation however far the centre). A
// run has converged when the undamped step can gain no more than that noise,
// h^T M^-1 h <= n tau^2 (M the model's matrix), when it moves the centre by less than its own
// rounding, or when that decrement, already below the cost's own rounding
// (2 tau sqrt(n F) + n tau^2), stops falling (kStall). All three are judged in the metric of M,
// so a short arc, whose M is nearly singular, is neither stopped early by a small gradient along
// its well-determined direction nor kept running by noise along its weak one. Where the cost's
// rounding hides the change a step predicts, the step is taken unless it visibly raises the
// cost: a comparison of costs cannot decide it, and refusing it would drive lambda up without
// end.
//
// Running off. Points closer to a line than to any circle send the minimiser off to infinity,
// the centre receding while F falls towards a line's cost. Gauss-Newton's step about doubles the
// centre's distance there. A run whose centre passes kRunOffDistance stops as having run off: a
// circle of that radius bends away from its tangent by less than 2^-25 of the data's spread
// over them. A step that would run off from a circle already better than the best line is
// refused instead: no circle that far out can beat it.
//
// Saddles and other minima. A converged run is checked with the full Hessian
// J^T J + sum e_i (I - n_i n_i^T) / d_i: at a saddle (the symmetric points of a zigzag, whose
// centroid circle is one) the run restarts from the lowest cost found along the direction of
// negative curvature. Short noisy arcs can have other minima; they can matter only when the
// fitted circle is not much better than the best line, F_line <= kOtherMinimaRatio F. Then a
// second run starts from Taubin's fit, where it lies apart from Hyper's, and the lower converged
// cost wins. A first run that did not converge is followed by one from the mirror image of its
// start across the points' principal line as well. No run starts from the mirror image of a
// converged centre: it finds a lower minimum only where the arc's curvature is lost in the noise
// (3 degree arcs, or 10 to 20 degrees with noise of 3 to 10 % of r), and it would cost every
// short arc a third more time. If no run beats the best line, four last runs start on either
// side of it, near and far (kLineLikeStarts), and if none of them does either, the points are
// line-like.
namespace tondra::kit {
namespace {

// A step shorter than this many roundings of the centre changes nothing.
constexpr double kStepRounding = 4.0;
// Iterations of one run: from an algebraic start a run takes about 5, one that runs off about
// 25; this bound stops only a run that cannot settle.
constexpr int kRunIterations = 100;
// Damping, as a factor of J^T J's diagonal. Runs start undamped: the algebraic start is close,
// and the undamped step is also what carries a run off towards a line quickly (there the
// valley's curvature falls as the fourth power of the distance, faster than a damping that
// shrinks by a constant factor per step). The first failure brings in kFirstDamping, and
// successes bring it back to 0 once it falls below kLastDamping.
constexpr double kFirstDamping = 1e-3;
constexpr double kLastDamping = 1e-6;
// A diagonal element of J^T J below this fraction of the other is raised to it for the damping,
// so that lambda acts in both directions.
constexpr double kSmallestDampingShare = 1e-12;
// Gauss-Newton converges only linearly where the residuals are large against the curvature (short
// noisy arcs), at a rate near this one and worse; a run whose undamped step shrinks by less
// than this factor changes to the full Hessian, which converges quadratically, at the price of
// a second pass over the points per iteration.
constexpr double kSlowContraction = 0.25;
// Undamped steps that grow by this factor or more are a run heading off towards a line, where
// Gauss-Newton's doubling is what is wanted.
constexpr double kRunningOff = 1.5;
// A decrement below the cost's rounding that falls by less than this factor in a Newton step has
// stalled at its own rounding.
constexpr double kStall = 0.5;
// In frame units (unit RMS spread); see the note on running off.
constexpr double kRunOffDistance = 0x1p24;
// Escapes from saddles per run.
constexpr int kSaddleEscapes = 3;
// Search other minima when the best line's cost is within this factor of the circle's: only
// then is the curvature weak enough for another basin to hold a lower minimum.
constexpr double kOtherMinimaRatio = 4.0;
// Taubin's start is left out when it lies within this fraction of Hyper's radius from Hyper's
// centre (see the search for other minima).
constexpr double kSameStart = 1e-2;
// Frame distances of the last starts, tried on both sides of the line before points are called
// line-like.
constexpr double kLineLikeStarts[] = {2.0, 16.0};
// Frame distance of the start used when the points are on a line to rounding and neither
// algebraic fit has a circle: far beyond the data, well short of running off.
constexpr double kOffsideStart = 1024.0;
// Rounding of the scatter's smaller eigenvalue from the moments, in units of eps times their
// trace: generous, since it only bounds the line's cost from below.
constexpr double kMomentRounding = 64.0;

struct Centre {
  double a;
  double b;
};

enum class RunEnd { Converged, RanOff, Budget, NotFinite };

struct Run {
  Centre c;
  double cost;
  double r;
  RunEnd end;
  std::int64_t iterations;
  CentreNormal at;  // at c (a converged run's last evaluation)
};

double cost_noise(const double tau, const double n, const double cost) noexcept {
  return 2.0 * tau * std::sqrt(n * cost) + n * tau * tau;
}

double distance_of(const Centre& c) noexcept { return std::sqrt(c.a * c.a + c.b * c.b); }

// The best line through the points: through their mean, along the principal axis of their
// scatter. Its cost is summed from the distances, directly (the difference of the scatter's
// eigenvalues would cancel for nearly collinear points), and only when a decision needs it.
class BestLine {
 public:
  BestLine(const CentreProblem& problem, const FrameMoments& m) : problem_(problem), m_(m) {
    // The principal axis makes the angle phi = atan2(2 Muv, Muu - Mvv) / 2 with the u axis.
    const double phi = 0.5 * std::atan2(2.0 * m.muv, m.muu - m.mvv);
    nu_ = -std::sin(phi);
    nv_ = std::cos(phi);
    const double half_sum = 0.5 * (m.muu + m.mvv);
    const double n = static_cast<double>(m.n);
    // The same cost from the moments: n times the scatter's smaller eigenvalue, less its worst
    // rounding, so that it never exceeds the true cost.
    lower_bound_ = n * ((half_sum - plane_length(0.5 * (m.muu - m.mvv), m.muv)) -
                        kMomentRounding * kEps * half_sum);
  }

  double nu() const noexcept { return nu_; }
  double nv() const noexcept { return nv_; }
  double lower_bound() const noexcept { return lower_bound_; }

  double cost() const {
    if (!cost_) {
      double sum = +0.0;
      for (std::size_t i = 0; i < problem_.size(); ++i) {
        const double d = nu_ * (problem_.u(i) - m_.mean_u) + nv_ * (problem_.v(i) - m_.mean_v);
        sum += d * d;
      }
      cost_ = sum;
    }
    return *cost_;
  }

 private:
  const CentreProblem& problem_;
  const FrameMoments& m_;
  double nu_;
  double nv_;
  double lower_bound_;
  mutable std::optional<double> cost_;
};

// One Levenberg-Marquardt run from `start`.
Run levenberg_marquardt(const CentreProblem& problem, const Centre start, const BestLine& line) {
  const double n = static_cast<double>(problem.size());
  Centre c = start;
  CentreNormal at = problem.evaluate(c.a, c.b);
  double lambda = 0.0;
  double nu = 2.0;
  bool full_hessian = false;
  double last_length = std::numeric_limits<double>::infinity();
  double last_decrement = std::numeric_limits<double>::infinity();
  bool last_hessian_model = false;
  const auto damp_more = [&] {
    lambda = lambda == 0.0 ? kFirstDamping : lambda * nu;
    nu *= 2.0;
  };
  for (int iteration = 1; iteration <= kRunIterations; ++iteration) {
    base::poll_stop(problem.size());
    if (!std::isfinite(at.cost) || !std::isfinite(at.r)) {
      return {c, at.cost, at.r, RunEnd::NotFinite, iteration - 1, at};
    }
    const double tau = kTau;
    const double decrement_floor = n * tau * tau;
    const double noise = cost_noise(tau, n, at.cost);
    const double step_floor = kStepRounding * kEps * (distance_of(c) + 1.0);

    // The model's matrix: J^T J, or the full Hessian once Gauss-Newton has shown itself slow,
    // where it is positive definite.
    std::array<double, 3> model = at.jtj;
    bool hessian_model = false;
    if (full_hessian) {
      const std::array<double, 3> h = problem.hessian(c.a, c.b, at);
      if (h[0] > 0.0 && h[0] * h[2] > h[1] * h[1]) {
        model = h;
        hessian_model = true;
      }
    }
    std::array<double, 2> newton{};
    if (solve_spd2(model, at.h, newton)) {
      const double decrement = newton[0] * at.h[0] + newton[1] * at.h[1];
      const double length = std::sqrt(newton[0] * newton[0] + newton[1] * newton[1]);
      // Below the cost's rounding the decrement is read from h, which is more precise than the
      // cost, until it stalls: then the Jacobian's own rounding (eps |e| per element, a floor
      // that grows with the residuals and with M's condition) is all that is left in it.
      // Newton's decrements fall quadratically, so one that keeps half its size has stalled.
      // Gauss-Newton's may fall slowly, or not at all where it diverges; it is given up for
      // Newton's below, and judged by its own only where the Hessian is not positive definite.
      const bool stalled = hessian_model == last_hessian_model && decrement <= noise &&
                           (hessian_model || full_hessian) &&
                           decrement >= (hessian_model ? kStall : 1.0) * last_decrement;
      if (decrement <= decrement_floor || length <= step_floor || stalled) {
        return {c, at.cost, at.r, RunEnd::Converged, iteration - 1, at};
      }
      // Steps that shrink by a steady factor q leave about q / (1 - q) of this one to go after
      // it: where that is below the centre's rounding, this undamped step is the last, and the
      // cost after it is not evaluated (what the run reports of the cost and its normal
      // equations then is this point's, which differ from the next by less than their rounding).
      const double rate = length / last_length;
      if (lambda == 0.0 && std::isfinite(last_length) && rate <= kSlowContraction &&
          rate / (1.0 - rate) * length <= step_floor) {
        return {
            {c.a + newton[0], c.b + newton[1]}, at.cost, at.r, RunEnd::Converged, iteration, at};
      }
      last_decrement = decrement;
      last_hessian_model = hessian_model;
      // Steps that grow fast belong to a run heading off, not to a slow approach.
      if (length > kSlowContraction * last_length && length < kRunningOff * last_length) {
        full_hessian = true;
      }
      last_length = length;
    }

    const double smallest = kSmallestDampingShare * std::max(model[0], model[2]);
    const std::array<double, 2> damping = {std::max(model[0], smallest),
                                           std::max(model[2], smallest)};
    const std::array<double, 3> damped = {model[0] + lambda * damping[0], model[1],
                                          model[2] + lambda * damping[1]};
    std::array<double, 2> delta{};
    if (!solve_spd2(damped, at.h, delta)) {
      damp_more();
      continue;
    }
    if (std::sqrt(delta[0] * delta[0] + delta[1] * delta[1]) <= step_floor) {
      return {c, at.cost, at.r, RunEnd::Converged, iteration, at};
    }
    const double predicted =
        delta[0] * at.h[0] + delta[1] * at.h[1] +
        lambda * (damping[0] * delta[0] * delta[0] + damping[1] * delta[1] * delta[1]);
    const Centre trial = {c.a + delta[0], c.b + delta[1]};
    if (distance_of(trial) > kRunOffDistance) {
      if (at.cost + noise >= line.cost()) {
        return {trial, line.cost(), kNaN, RunEnd::RanOff, iteration, at};
      }
      damp_more();
      continue;
    }
    const CentreNormal next = problem.evaluate(trial.a, trial.b);
    const double gain = at.cost - next.cost;
    const bool decreased = gain > 0.0;
    const bool hidden = predicted <= noise && -gain <= noise;
    if (decreased || hidden) {
      if (decreased && !hidden) {
        const double rho = gain / predicted;
        const double t = 2.0 * rho - 1.0;
        lambda *= std::max(1.0 / 3.0, 1.0 - t * t * t);
        if (lambda < kLastDamping) lambda = 0.0;
        nu = 2.0;
      }
      c = trial;
      at = next;
    } else {
      damp_more();
    }
  }
  return {c, at.cost, at.r, RunEnd::Budget, kRunIterations, at};
}

// A run, then escapes from saddles: along the Hessian's direction of negative curvature, the
// lowest cost among steps of the circle's size and smaller, each tried both ways.
Run run_from(const CentreProblem& problem, const Centre start, const BestLine& line) {
  Run run = levenberg_marquardt(problem, start, line);
  for (int escape = 0; escape < kSaddleEscapes && run.end == RunEnd::Converged; ++escape) {
    const CentreNormal& at = run.at;
    if (gram_dominates(at, problem.size())) break;  // a minimum
    const std::array<double, 3> h = problem.hessian(run.c.a, run.c.b, at);
    // The eigenvector of the smaller eigenvalue.
    const Curvatures curvature = curvatures(h);
    if (!curves_down(curvature)) break;
    const double lowest = curvature.lowest();
    // (h01, lowest - h00) and (lowest - h11, h01) both solve (H - lowest I) x = 0; the longer
    // one is the better conditioned.
    double ea = h[1];
    double eb = lowest - h[0];
    if (plane_length(lowest - h[2], h[1]) > plane_length(ea, eb)) {
      ea = lowest - h[2];
      eb = h[1];
    }
    const double length = plane_length(ea, eb);
    if (!(length > 0.0)) break;
    ea /= length;
    eb /= length;
    const double reach = run.r + 1.0;
    Centre best = run.c;
    double best_cost = run.cost;
    for (const double scale : {1.0, 0.25, 0.0625, 0.015625}) {
      for (const double sign : {1.0, -1.0}) {
        const double t = sign * scale * reach;
        const Centre q = {run.c.a + t * ea, run.c.b + t * eb};
        const double cost = problem.cost(q.a, q.b);
        if (cost < best_cost) {
          best = q;
          best_cost = cost;
        }
      }
    }
    if (!(best_cost < run.cost)) break;
    const std::int64_t before = run.iterations;
    run = levenberg_marquardt(problem, best, line);
    run.iterations += before;
  }
  return run;
}

Centre mirrored(const Centre& c, const BestLine& line, const FrameMoments& m) {
  const double offset = line.nu() * (c.a - m.mean_u) + line.nv() * (c.b - m.mean_v);
  return {c.a - 2.0 * offset * line.nu(), c.b - 2.0 * offset * line.nv()};
}

Termination termination_of(const RunEnd end) noexcept {
  switch (end) {
    case RunEnd::Converged: return Termination::Converged;
    case RunEnd::RanOff: return Termination::Diverged;
    case RunEnd::Budget: return Termination::MaxIterations;
    case RunEnd::NotFinite: return Termination::NotFinite;
  }
  return Termination::None;
}

GeometricFit in_data(const UnitFrame& frame, const Run& run, const double r,
                     const std::int64_t iterations, const bool converged, const bool line_like) {
  return {frame.data_x(run.c.a),
          frame.data_y(run.c.b),
          frame.data_length(r),
          iterations,
          converged,
          line_like,
          termination_of(run.end)};
}

}  // namespace

GeometricFit geometric_fit(const std::span<const double> x, const std::span<const double> y) {
  const GeometricFit none = {kNaN, kNaN, kNaN, 0, false, false, Termination::None};
  const std::optional<UnitFrame> frame = unit_frame(x, y);
  if (!frame || x.size() < 3) return none;
  const CentreProblem problem(*frame, x, y);
  const FrameMoments moments = frame_moments(*frame, x, y);
  const BestLine line(problem, moments);

  const AlgebraicCircle hyper = hyper_newton_in_frame(moments);
  Centre start = {moments.mean_u + kOffsideStart * line.nu(),
                  moments.mean_v + kOffsideStart * line.nv()};
  if (hyper.ok) {
    start = {hyper.cx, hyper.cy};
  } else {
    const AlgebraicCircle taubin = taubin_newton_in_frame(moments);
    if (taubin.ok) start = {taubin.cx, taubin.cy};
  }

  const Run first = run_from(problem, start, line);
  std::int64_t iterations = first.iterations;
  std::optional<Run> best;
  if (first.end == RunEnd::Converged) best = first;
  std::optional<Run> ran_off;
  if (first.end == RunEnd::RanOff) ran_off = first;

  const auto weak = [&](const Run& run) {
    return line.lower_bound() <= kOtherMinimaRatio * run.cost &&
           line.cost() <= kOtherMinimaRatio * run.cost;
  };
  if (!best || weak(*best)) {
    // The mirror of where the first run began, if it did not converge; and Taubin's fit, when
    // Hyper's was the start.
    Centre starts[2] = {};
    int count = 0;
    if (!best) starts[count++] = mirrored(start, line, moments);
    if (hyper.ok) {
      // Taubin's and Hyper's centres closer than kSameStart of Hyper's radius start runs that
      // end at the same minimum: the two fits differ by far less than a basin's size there.
      const AlgebraicCircle taubin = taubin_newton_in_frame(moments);
      const bool repeats =
          plane_length(taubin.cx - hyper.cx, taubin.cy - hyper.cy) <= kSameStart * hyper.r;
      if (taubin.ok && !repeats) starts[count++] = {taubin.cx, taubin.cy};
    }
    for (int k = 0; k < count; ++k) {
      const Run run = run_from(problem, starts[k], line);
      iterations += run.iterations;
      if (run.end == RunEnd::Converged && (!best || run.cost < best->cost)) best = run;
      if (run.end == RunEnd::RanOff && !ran_off) ran_off = run;
    }
  }

  const double n = static_cast<double>(problem.size());
  const auto beats_line = [&](const Run& run) {
    return line.lower_bound() > run.cost || run.cost < line.cost() + cost_noise(kTau, n, run.cost);
  };
  if (!best || !beats_line(*best)) {
    // About to call the points line-like: a finite minimum below the line can still hide in a
    // basin none of the starts so far lay in, so a few more start on either side of the line,
    // from near to far.
    for (const double reach : kLineLikeStarts) {
      for (const double side : {1.0, -1.0}) {
        const Centre far = {moments.mean_u + side * reach * line.nu(),
                            moments.mean_v + side * reach * line.nv()};
        const Run run = run_from(problem, far, line);
        iterations += run.iterations;
        if (run.end == RunEnd::Converged && (!best || run.cost < best->cost)) best = run;
        if (run.end == RunEnd::RanOff && !ran_off) ran_off = run;
      }
    }
  }
  if (best) return in_data(*frame, *best, best->r, iterations, true, !beats_line(*best));
  if (ran_off) {
    const double r = problem.evaluate(ran_off->c.a, ran_off->c.b).r;
    return in_data(*frame, *ran_off, r, iterations, false, true);
  }
  return in_data(*frame, first, first.r, iterations, false, false);
}

}  // namespace tondra::kit
