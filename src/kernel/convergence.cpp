#include "kernel/convergence.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "kernel/centre_problem.hpp"
#include "kernel/numbers.hpp"
#include "kernel/unit_frame.hpp"

namespace tondra::kit {
namespace {

// The Gauss-Newton step at a minimum is rounding, about eps times the condition of J^T J in the
// frame; this bound leaves room for the short arcs' large conditions (a 1 degree arc's fitted
// centre shows steps near 1e-11 of its distance) and is far below where an optimiser that stops
// on a small gradient leaves a short arc's centre.
constexpr double kMinimumStep = 1e-8;
// The Jacobian's rounding, in units of eps times its norm (see is_least_squares_minimum).
constexpr double kJacobianRounding = 8.0;

}  // namespace

bool is_least_squares_minimum(const std::span<const double> x, const std::span<const double> y,
                              const double cx, const double cy) {
  const std::optional<UnitFrame> frame = unit_frame(x, y);
  if (!frame || x.size() < 3 || !std::isfinite(cx) || !std::isfinite(cy)) return false;
  const double a = frame->frame_u(cx);
  const double b = frame->frame_v(cy);
  if (!std::isfinite(a) || !std::isfinite(b)) return false;
  const CentreProblem problem(*frame, x, y);
  const CentreNormal at = problem.evaluate(a, b);
  if (!std::isfinite(at.cost) || !std::isfinite(at.r)) return false;
  // A saddle or a maximum shows in the Hessian, where J^T J does not settle the question (the
  // normal equations come again with it, to the bit).
  if (!gram_dominates(at, x.size())) {
    std::array<double, 3> h{};
    problem.evaluate_with_hessian(a, b, h);
    if (curves_down(curvatures(h))) return false;
  }

  std::array<double, 2> step{};
  if (!solve_spd2(at.jtj, at.h, step)) return false;
  const double length = std::sqrt(step[0] * step[0] + step[1] * step[1]);
  // What rounding alone leaves in the step: J's elements carry an error of order eps of their
  // size, which puts up to eps |J| |e| into h, and M^-1 (no larger than its trace,
  // (M00 + M11) / det M) magnifies that. Far-off centres of short noisy arcs are determined no
  // better than this, whatever the method.
  const double trace = at.jtj[0] + at.jtj[2];
  const double det = at.jtj[0] * at.jtj[2] - at.jtj[1] * at.jtj[1];
  const double rounding = kJacobianRounding * kEps * std::sqrt(trace * at.cost) * (trace / det);
  return length <= std::max(kMinimumStep * (1.0 + std::sqrt(a * a + b * b)), rounding);
}

}  // namespace tondra::kit
