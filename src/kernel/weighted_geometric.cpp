#include "kernel/weighted_geometric.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "base/stop.hpp"
#include "kernel/centre_problem.hpp"
#include "kernel/hyper.hpp"
#include "kernel/numbers.hpp"
#include "kernel/plane_length.hpp"
#include "kernel/unit_frame.hpp"
#include "kernel/weighted_problem.hpp"

// The iteration is the plain fit's Levenberg-Marquardt, shortened: a step solves
// (M + lambda D) delta = h with M = J^T W J (or the full Hessian once Gauss-Newton shows itself
// slow, as on short noisy arcs), D its diagonal, lambda following the gain ratio as Nielsen has
// it. A run has converged when the undamped step can gain no more than the residuals' rounding,
// when it moves the centre by less than its own rounding, or when its decrement, below the
// cost's rounding, stops falling. Starts: the weighted Hyper fit (Taubin's, or a point far off
// the principal line, where it has none), the caller's start, and on bounded or weak fits (a
// line nearly as good as the circle) their mirror images across the weighted principal line:
// a held radius has a minimum on either side of the arc, and a short arc may have two.
namespace tondra::kit {
namespace {

using weighted::Centre;
using weighted::distance_of;
using weighted::Normal;
using weighted::Problem;

constexpr double kStepRounding = 4.0;
// From an algebraic start a run takes a handful of iterations; this bound stops one that cannot
// settle.
constexpr int kRunIterations = 200;
constexpr double kFirstDamping = 1e-3;
constexpr double kLastDamping = 1e-6;
constexpr double kSmallestDampingShare = 1e-12;
// Undamped steps shrinking by less than this factor switch the model to the full Hessian.
constexpr double kSlowContraction = 0.25;
// A step, its decrement below the cost's rounding, that keeps this share of the last has stalled.
constexpr double kStall = 0.5;
// A centre this far out (in frame units) has run off towards a line.
constexpr double kRunOffDistance = 0x1p24;
// Other starts are tried when the best line's cost is within this factor of the circle's.
constexpr double kOtherMinimaRatio = 4.0;
constexpr double kOffsideStart = 1024.0;
// weighted_circle_at's minimum: a Gauss-Newton step below this share of the spread plus the
// centre's distance.
constexpr double kMinimumStep = 1e-8;

enum class RunEnd { Converged, RanOff, Budget, Stuck, NotFinite };

Termination termination_of(const RunEnd end) noexcept {
  switch (end) {
    case RunEnd::Converged: return Termination::Converged;
    case RunEnd::RanOff: return Termination::Diverged;
    case RunEnd::Budget: return Termination::MaxIterations;
    case RunEnd::Stuck: return Termination::NoProgress;
    case RunEnd::NotFinite: return Termination::NotFinite;
  }
  return Termination::None;
}

struct Run {
  Centre c;
  Normal at;
  RunEnd end;
  std::int64_t iterations;
};

Run levenberg_marquardt(const Problem& problem, const Centre start) {
  const double weight_sum = problem.weight_sum();
  Centre c = start;
  Normal at = problem.evaluate(c);
  double lambda = 0.0;
  double nu = 2.0;
  bool full_hessian = false;
  double last_length = kInfinity;
  const auto damp_more = [&] {
    lambda = lambda == 0.0 ? kFirstDamping : lambda * nu;
    nu *= 2.0;
  };
  for (int iteration = 1; iteration <= kRunIterations; ++iteration) {
    base::poll_stop(problem.size());
    if (!std::isfinite(at.cost) || !std::isfinite(at.r)) {
      return {c, at, RunEnd::NotFinite, iteration};
    }
    const double reach = distance_of(c) + 1.0;
    const double tau = kTau * reach;  // a residual's rounding grows with the centre's distance
    const double floor = weight_sum * tau * tau;
    const double noise = 2.0 * tau * std::sqrt(weight_sum * at.cost) + floor;
    const double step_floor = kStepRounding * kEps * reach;

    std::array<double, 3> model = at.jtj;
    bool hessian_model = false;
    if (full_hessian) {
      std::array<double, 3> h{};
      static_cast<void>(problem.evaluate(c, &h));
      if (h[0] > 0.0 && h[0] * h[2] > h[1] * h[1]) {
        model = h;
        hessian_model = true;
      }
    }
    std::array<double, 2> newton{};
    if (solve_spd2(model, at.h, newton)) {
      const double decrement = newton[0] * at.h[0] + newton[1] * at.h[1];
      const double length = plane_length(newton[0], newton[1]);
      // Below the cost's rounding the step still tells where the minimum lies, more precisely
      // than the cost does (along a short arc's weak direction by far), until Newton's steps,
      // which shrink quadratically, stop shrinking: then only rounding is left in them.
      // Gauss-Newton's may shrink slowly without being at rounding; they are judged by the
      // decrement alone only where the Hessian is not positive definite.
      const double rate = length / last_length;
      const bool stalled =
          decrement <= noise && rate > kStall && (hessian_model || decrement <= floor);
      if (length <= step_floor || stalled) return {c, at, RunEnd::Converged, iteration - 1};
      // Steps that shrink by a steady factor q leave about q / (1 - q) of this one to go after
      // it: where that is below the centre's rounding, this undamped step is the last, and the
      // cost after it is not evaluated.
      if (lambda == 0.0 && std::isfinite(last_length) && rate <= kSlowContraction &&
          rate / (1.0 - rate) * length <= step_floor) {
        const Centre last = {c.a + newton[0], c.b + newton[1]};
        return {last, problem.evaluate(last), RunEnd::Converged, iteration};
      }
      if (length > kSlowContraction * last_length && length < last_length) full_hessian = true;
      last_length = length;
    }
    const double smallest = kSmallestDampingShare * std::max(model[0], model[2]);
    const std::array<double, 2> damping = {std::max(model[0], smallest),
                                           std::max(model[2], smallest)};
    const std::array<double, 3> damped = {model[0] + lambda * damping[0], model[1],
                                          model[2] + lambda * damping[1]};
    std::array<double, 2> delta{};
    if (!solve_spd2(damped, at.h, delta)) {
      if (lambda > 1e300) return {c, at, RunEnd::Stuck, iteration};
      damp_more();
      continue;
    }
    if (plane_length(delta[0], delta[1]) <= step_floor) {
      return {c, at, RunEnd::Converged, iteration};
    }
    const double predicted =
        delta[0] * at.h[0] + delta[1] * at.h[1] +
        lambda * (damping[0] * delta[0] * delta[0] + damping[1] * delta[1] * delta[1]);
    const Centre trial = {c.a + delta[0], c.b + delta[1]};
    if (distance_of(trial) > kRunOffDistance) return {trial, at, RunEnd::RanOff, iteration};
    const Normal next = problem.evaluate(trial);
    const double gain = at.cost - next.cost;
    const bool decreased = gain > 0.0;
    const bool hidden = predicted <= noise && -gain <= noise;
    if (decreased || hidden) {
      if (decreased && !hidden) {
        const double t = 2.0 * (gain / predicted) - 1.0;
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
  return {c, at, RunEnd::Budget, kRunIterations};
}

// The weighted principal line: its unit normal and its cost sum w (n . (p - mean))^2.
struct Line {
  double nu;
  double nv;
  double cost;
};

Line principal_line(const WeightedScratch& s, const FrameMoments& m) {
  const double phi = 0.5 * std::atan2(2.0 * m.muv, m.muu - m.mvv);
  Line line{-std::sin(phi), std::cos(phi), 0.0};
  double sum = +0.0;
  for (std::size_t i = 0; i < s.u.size(); ++i) {
    const double e = line.nu * (s.u[i] - m.mean_u) + line.nv * (s.v[i] - m.mean_v);
    sum += s.w[i] * (e * e);
  }
  line.cost = sum;
  return line;
}

Centre mirrored(const Centre& c, const Line& line, const FrameMoments& m) {
  const double offset = line.nu * (c.a - m.mean_u) + line.nv * (c.b - m.mean_v);
  return {c.a - 2.0 * offset * line.nu, c.b - 2.0 * offset * line.nv};
}

bool better(const Run& run, const std::optional<Run>& best) {
  return run.end == RunEnd::Converged && (!best || run.at.cost < best->at.cost);
}

}  // namespace

WeightedCircle weighted_geometric_fit(std::span<const double> x, std::span<const double> y,
                                      std::span<const double> w, const RadiusBounds& bounds,
                                      std::optional<std::array<double, 2>> start,
                                      WeightedScratch& scratch) {
  const UnitFrame frame = weighted::prepare(x, y, w, scratch);
  const int k = frame.e + frame.f;
  const Problem problem(scratch, std::ldexp(bounds.lo, -k), std::ldexp(bounds.hi, -k));
  const FrameMoments moments = weighted::moments(scratch, problem.weight_sum());
  const Line line = principal_line(scratch, moments);

  Centre first_start = {moments.mean_u + kOffsideStart * line.nu,
                        moments.mean_v + kOffsideStart * line.nv};
  const AlgebraicCircle hyper = hyper_newton_in_frame(moments);
  const AlgebraicCircle taubin = taubin_newton_in_frame(moments);
  if (hyper.ok) {
    first_start = {hyper.cx, hyper.cy};
  } else if (taubin.ok) {
    first_start = {taubin.cx, taubin.cy};
  }
  Centre starts[6] = {};
  int count = 0;
  starts[count++] = first_start;
  if (start && std::isfinite((*start)[0]) && std::isfinite((*start)[1])) {
    starts[count++] = {(frame.frame_u((*start)[0])), frame.frame_v((*start)[1])};
  }

  std::optional<Run> best;
  std::optional<Run> ran_off;
  std::int64_t iterations = 0;
  const auto try_from = [&](const Centre& from) {
    const Run run = levenberg_marquardt(problem, from);
    iterations += run.iterations;
    if (better(run, best)) best = run;
    if (run.end == RunEnd::RanOff && !ran_off) ran_off = run;
  };
  for (int s = 0; s < count; ++s) try_from(starts[s]);
  const bool weak = !best || line.cost <= kOtherMinimaRatio * best->at.cost;
  if (bounds.any() || weak) {
    // The other side of the arc, and Taubin's start where it differs.
    const int given = count;
    for (int s = 0; s < given; ++s) starts[count++] = mirrored(starts[s], line, moments);
    if (best) starts[count++] = mirrored(best->c, line, moments);
    if (hyper.ok && taubin.ok) starts[count++] = {taubin.cx, taubin.cy};
    for (int s = given; s < count; ++s) try_from(starts[s]);
  }

  const Run& chosen =
      best ? *best : (ran_off ? *ran_off : levenberg_marquardt(problem, first_start));
  WeightedCircle out = weighted::describe(frame, problem, chosen.c, chosen.at);
  out.iterations = iterations;
  out.converged = best.has_value();
  out.termination = termination_of(chosen.end);
  // Without an upper bound the cost falls towards the best line's far out: a circle that does
  // not beat it, or none at all, means the points are line-like.
  out.line_like = !bounds.bounded_above() && (!best || !(best->at.cost < line.cost));
  if (!best) out.cov.fill(kNaN);
  return out;
}

WeightedAlgebraic weighted_hyper(std::span<const double> x, std::span<const double> y,
                                 std::span<const double> w, WeightedScratch& scratch) {
  const UnitFrame frame = weighted::prepare(x, y, w, scratch);
  const Problem problem(scratch, 0.0, kInfinity);
  const AlgebraicCircle c = hyper_newton_in_frame(weighted::moments(scratch, problem.weight_sum()));
  if (!c.ok) return {kNaN, kNaN, kNaN, false};
  return {frame.data_x(c.cx), frame.data_y(c.cy), frame.data_length(c.r), true};
}

WeightedAlgebraic weighted_taubin(std::span<const double> x, std::span<const double> y,
                                  std::span<const double> w, WeightedScratch& scratch) {
  const UnitFrame frame = weighted::prepare(x, y, w, scratch);
  const Problem problem(scratch, 0.0, kInfinity);
  const AlgebraicCircle c =
      taubin_newton_in_frame(weighted::moments(scratch, problem.weight_sum()));
  if (!c.ok) return {kNaN, kNaN, kNaN, false};
  return {frame.data_x(c.cx), frame.data_y(c.cy), frame.data_length(c.r), true};
}

std::array<double, 2> weighted_centroid(std::span<const double> x, std::span<const double> y,
                                        std::span<const double> w) {
  double sw = +0.0, sx = +0.0, sy = +0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    sw += w[i];
    sx += w[i] * x[i];
    sy += w[i] * y[i];
  }
  return {sx / sw, sy / sw};
}

WeightedCircle weighted_circle_at(std::span<const double> x, std::span<const double> y,
                                  std::span<const double> w, double cx, double cy,
                                  WeightedScratch& scratch) {
  const UnitFrame frame = weighted::prepare(x, y, w, scratch);
  const Problem problem(scratch, 0.0, kInfinity);
  const Centre c = {frame.frame_u(cx), frame.frame_v(cy)};
  const Normal at = problem.evaluate(c);
  WeightedCircle out = weighted::describe(frame, problem, c, at);
  out.cx = cx;
  out.cy = cy;
  std::array<double, 2> step{};
  out.converged = std::isfinite(at.cost) && solve_spd2(at.jtj, at.h, step) &&
                  plane_length(step[0], step[1]) <= kMinimumStep * (distance_of(c) + 1.0);
  out.iterations = -1;
  out.line_like = false;
  return out;
}

}  // namespace tondra::kit
