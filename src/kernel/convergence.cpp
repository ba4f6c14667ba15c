#include "kernel/convergence.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <optional>

#include "base/fault.hpp"
#include "kernel/centre_problem.hpp"
#include "kernel/plane_length.hpp"
#include "kernel/unit_frame.hpp"

namespace tondra::kit {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kTwoPi = 2.0 * std::numbers::pi;
// The Gauss-Newton step at a minimum is rounding, about eps times the condition of J^T J in the
// frame; this bound leaves room for the short arcs' large conditions (a 1 degree arc's fitted
// centre shows steps near 1e-11 of its distance) and is far below where an optimiser that stops
// on a small gradient leaves a short arc's centre.
constexpr double kMinimumStep = 1e-8;
// The Jacobian's rounding, in units of eps times its norm (see is_least_squares_minimum).
constexpr double kJacobianRounding = 8.0;
constexpr double kEps = std::numeric_limits<double>::epsilon();
// Negative curvature below this fraction of the largest is rounding, not a saddle.
constexpr double kNegativeCurvature = 1e-9;

// Pseudo-angles: the direction (du, dv) scaled to |du| + |dv| = 1 and named by its place along
// that square, from -2 (excluded) through 0 along +u to 2 along -u. Monotone in the true angle,
// with a slope between 1/2 and 1, and a half turn adds exactly 2.
constexpr double kPseudoTurn = 4.0;
// Differences of pseudo-angles are each rounded by a few ulps of 2.
constexpr double kPseudoSlack = 1e-14;
// Points per block of the arc's first loop, which has no sums and can run two at a time.
constexpr std::size_t kBlock = 64;
// |du| + |dv| beyond this has overflowed (or is NaN).
constexpr double kLargest = std::numeric_limits<double>::max();

// `a` where `pick` holds, else `b`, without a branch: points in no particular order fall on
// either side at random, and a mispredicted branch costs more than the rest of the point.
double select(const bool pick, const double a, const double b) noexcept {
  const std::uint64_t mask = std::uint64_t{0} - static_cast<std::uint64_t>(pick);
  return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & mask) |
                               (std::bit_cast<std::uint64_t>(b) & ~mask));
}

// The pseudo-angle from t = dv / size, in [-1, 1] (size = |du| + |dv|).
double pseudo_angle_of(const double du, const double dv, const double t) noexcept {
  return select(du >= 0.0, t, select(dv >= 0.0, 2.0, -2.0) - t);
}

// Assumes size = |du| + |dv| > 0.
double pseudo_angle(const double du, const double dv, const double size) noexcept {
  return pseudo_angle_of(du, dv, dv / size);
}

// The point of the square at pseudo-angle p.
std::array<double, 2> on_square(const double p) noexcept {
  const double q = std::fabs(p);
  return {1.0 - q, q <= 1.0 ? p : std::copysign(2.0 - q, p)};
}

// A gap between two directions as the rotation from the first to the second, (cosine, sine)
// times a positive factor, and which half turn it lies in.
struct Gap {
  double cosine;
  double sine;
  bool beyond_half_turn;
  double pseudo;  // its pseudo-angle, a lower bound of the rotation
};

// The counter-clockwise gap from pseudo-angle `from` to `to`; `wraps` when it crosses the end
// of the range (or goes all the way round from a bucket to itself).
Gap gap_between(const double from, const double to, const bool wraps) noexcept {
  const std::array<double, 2> a = on_square(from);
  const std::array<double, 2> b = on_square(to);
  const double cosine = a[0] * b[0] + a[1] * b[1];
  const double sine = a[0] * b[1] - a[1] * b[0];
  const double pseudo = wraps ? (to + kPseudoTurn) - from : to - from;
  // Near no rotation and near a whole turn the sine's sign is rounding: the pseudo-angles,
  // which differ by exactly 2 over a half turn, decide which it is.
  const bool beyond = cosine > 0.0 ? pseudo >= 0.5 * kPseudoTurn : sine < 0.0;
  return {cosine, sine, beyond, pseudo};
}

// Whether gap g rotates further than gap h.
bool wider(const Gap& g, const Gap& h) noexcept {
  if (g.beyond_half_turn != h.beyond_half_turn) return g.beyond_half_turn;
  // Within one half turn the order is that of the angle from h to g.
  const double hs = h.beyond_half_turn ? -std::fabs(h.sine) : std::fabs(h.sine);
  const double gs = g.beyond_half_turn ? -std::fabs(g.sine) : std::fabs(g.sine);
  return h.cosine * gs - hs * g.cosine > 0.0;
}

std::array<double, 9> all_nan() {
  std::array<double, 9> out;
  out.fill(kNaN);
  return out;
}

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
    const double mean = 0.5 * (h[0] + h[2]);
    const double radius = plane_length(0.5 * (h[0] - h[2]), h[1]);
    if (mean - radius < -kNegativeCurvature * (std::fabs(mean) + radius)) return false;
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

// The largest gap without sorting. Of m directions, the largest gap is at least 2 pi / m. The
// pseudo-angle turns at least half as fast as the true angle, so with more than 4n/3 buckets
// of equal pseudo-angle (width w = 4 / buckets) two directions in one bucket are at most
// 2 w < 6 / n < 2 pi / m apart: no gap within a bucket is the largest. Each bucket keeps only
// its extreme pseudo-angles, and the largest gap is one from a bucket's largest to the next
// non-empty bucket's smallest (across the end of the range for the last). Those gaps are
// compared by their true angle, through the rotation (cosine, sine) between the two directions
// rebuilt from their pseudo-angles, and only the winner's angle is computed. A gap whose
// pseudo-angle is below half the best one's cannot win and is passed over unmeasured.
double arc_coverage(const std::span<const double> x, const std::span<const double> y,
                    const double cx, const double cy, std::vector<double>& scratch) {
  if (x.size() != y.size()) base::fault("assertion failed: x.len() == y.len()");
  if (!std::isfinite(cx) || !std::isfinite(cy)) return kNaN;
  const std::size_t n = x.size();
  // Bucket k holds the smallest and the largest pseudo-angle that fell into it, at 2k and 2k+1
  // (empty: +inf and -inf).
  const std::size_t buckets = n + n / 3 + 1;
  const double per_unit = static_cast<double>(buckets) / kPseudoTurn;
  scratch.resize(2 * buckets);
  for (std::size_t k = 0; k < buckets; ++k) {
    scratch[2 * k] = kInf;
    scratch[2 * k + 1] = -kInf;
  }
  std::size_t directions = 0;
  // Block by block: the divisions two points at a time, then the pseudo-angles and buckets.
  std::array<double, kBlock> sizes, ratios;
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t count = std::min(kBlock, n - start);
    for (std::size_t k = 0; k < count; ++k) {
      const double du = x[start + k] - cx;
      const double dv = y[start + k] - cy;
      sizes[k] = std::fabs(du) + std::fabs(dv);
      ratios[k] = dv / sizes[k];
    }
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t i = start + k;
      double p = pseudo_angle_of(x[i] - cx, y[i] - cy, ratios[k]);
      if (!(sizes[k] <= kLargest)) {
        if (!std::isfinite(x[i]) || !std::isfinite(y[i])) return kNaN;
        // The difference overflowed; halving first is exact (the direction is all that counts).
        const double du = 0.5 * x[i] - 0.5 * cx;
        const double dv = 0.5 * y[i] - 0.5 * cy;
        p = pseudo_angle(du, dv, std::fabs(du) + std::fabs(dv));
      } else if (sizes[k] == 0.0) {
        continue;  // at the centre: no direction
      }
      ++directions;
      const std::size_t bucket =
          std::min(static_cast<std::size_t>((p + 0.5 * kPseudoTurn) * per_unit), buckets - 1);
      scratch[2 * bucket] = std::min(scratch[2 * bucket], p);
      scratch[2 * bucket + 1] = std::max(scratch[2 * bucket + 1], p);
    }
  }
  if (directions < 2) return 0.0;

  std::size_t first = 0;
  while (!(scratch[2 * first] <= scratch[2 * first + 1])) ++first;
  std::size_t last = buckets - 1;
  while (!(scratch[2 * last] <= scratch[2 * last + 1])) --last;
  if (first == last && scratch[2 * first] == scratch[2 * first + 1]) return 0.0;  // one direction

  // The gap across the end of the range first: for an arc that does not cross it, that is the
  // largest, and every other gap falls to the cheap bound below.
  Gap best = gap_between(scratch[2 * last + 1], scratch[2 * first], true);
  double prior = scratch[2 * first + 1];
  for (std::size_t k = first + 1; k <= last; ++k) {
    const double from = scratch[2 * k];
    if (!(from <= scratch[2 * k + 1])) continue;
    // The true angle lies between the pseudo-angle and twice that.
    if (2.0 * (from - prior) + kPseudoSlack >= best.pseudo) {
      const Gap gap = gap_between(prior, from, false);
      if (wider(gap, best)) best = gap;
    }
    prior = scratch[2 * k + 1];
  }
  const double rotation = std::atan2(std::fabs(best.sine), best.cosine);  // in [0, pi]
  const double gap = best.beyond_half_turn ? kTwoPi - rotation : rotation;
  return std::clamp(kTwoPi - gap, 0.0, kTwoPi);
}

ScaledCovariance covariance_at_scaled(const std::span<const double> x,
                                      const std::span<const double> y, const double cx,
                                      const double cy, const double r, const bool converged) {
  const ScaledCovariance none = {all_nan(), 0};
  if (!converged || x.size() <= 3) return none;
  const std::optional<UnitFrame> frame = unit_frame(x, y);
  if (!frame || !std::isfinite(cx) || !std::isfinite(cy) || !std::isfinite(r)) return none;
  const int exponent = frame->e + frame->f;
  const double a = frame->frame_u(cx);
  const double b = frame->frame_v(cy);
  const double radius = std::ldexp(r, -exponent);
  if (!std::isfinite(a) || !std::isfinite(b)) return none;

  const CentreProblem problem(*frame, x, y);
  const CentreNormal at = problem.evaluate(a, b);
  // The mean direction, m.
  double su = +0.0;
  double sv = +0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double du = problem.u(i) - a;
    const double dv = problem.v(i) - b;
    const double d = std::sqrt(du * du + dv * dv);
    if (!(d > 0.0)) continue;
    su += du / d;
    sv += dv / d;
  }
  const double n = static_cast<double>(x.size());
  const double m0 = su / n;
  const double m1 = sv / n;
  // sum (d_i - r)^2 = sum (d_i - mean d)^2 + n (mean d - r)^2.
  const double offset = at.r - radius;
  const double sigma2 = (at.cost + n * (offset * offset)) / (n - 3.0);
  if (!std::isfinite(sigma2)) return none;

  std::array<double, 9> cov;
  const double p0 = at.jtj[0];
  const double l = p0 > 0.0 ? at.jtj[1] / p0 : kNaN;
  const double p1 = at.jtj[2] - l * at.jtj[1];
  if (!(p0 > 0.0) || !(p1 > 0.0)) {
    cov.fill(kNaN);
    cov[0] = cov[4] = cov[8] = kInf;
    return {cov, exponent};
  }
  // A^-1 = L^-T diag(1/p0, 1/p1) L^-1 with L^-1 = [[1, 0], [-l, 1]].
  const double i00 = 1.0 / p0 + (l * l) / p1;
  const double i01 = -l / p1;
  const double i11 = 1.0 / p1;
  const double w0 = i00 * m0 + i01 * m1;  // A^-1 m
  const double w1 = i01 * m0 + i11 * m1;
  const double y1 = m1 - l * m0;  // m^T A^-1 m = m0^2 / p0 + y1^2 / p1
  const double quadratic = (m0 * m0) / p0 + (y1 * y1) / p1;
  cov = {sigma2 * i00, sigma2 * i01, -sigma2 * w0,
         sigma2 * i01, sigma2 * i11, -sigma2 * w1,
         -sigma2 * w0, -sigma2 * w1, sigma2 * (1.0 / n + quadratic)};
  return {cov, exponent};
}

std::array<double, 9> covariance_at(const std::span<const double> x,
                                    const std::span<const double> y, const double cx,
                                    const double cy, const double r, const bool converged) {
  const ScaledCovariance scaled = covariance_at_scaled(x, y, cx, cy, r, converged);
  std::array<double, 9> out;
  for (std::size_t k = 0; k < 9; ++k) out[k] = std::ldexp(scaled.cov[k], 2 * scaled.exponent);
  return out;
}

}  // namespace tondra::kit
