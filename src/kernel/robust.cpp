#include "kernel/robust.hpp"

// The fit in outline.
//
// Trials. Each trial draws 3 distinct points, takes their circumcircle and scores it by a
// truncated quadratic, sum min(e_i^2, t^2) over all points, e_i the point's distance from the
// circle: an MSAC score, which, unlike a plain count of inliers, prefers among circles with the
// same inliers the one they fit best. Trials come in batches of kBatch; after each batch the
// loop stops once, at the inlier ratio w of the best circle so far, a sample of 3 inliers would
// have been drawn with the requested confidence, N = log(1 - confidence) / log(1 - w^3), or at
// max_trials. A score is summed point by point and abandoned as soon as it reaches the best
// one: the terms are never negative, so it could only tie, and a tie keeps the earlier circle.
// Most trials on data with outliers end after a few points, which is what makes the trials cheap.
//
// Threshold. Without a given one, t = kK sigma, sigma a robust scale of the residuals: first
// kMadToSigma (1 + 5 / (n - 3)) median |e_i| over all points, for the circle of the first batch
// whose median is the smallest (the median absolute residual made consistent for Gaussian
// noise, with the usual small-sample factor); then, from each fitted circle, the median |e_i|
// of the inliers it was fitted to, made consistent for Gaussian noise truncated at kK sigma. The
// first estimate is inflated by the outliers; the refinement removes that without letting them
// back in (a root mean square would grow with every outlier inside the band, and the band with
// it). A given threshold is used exactly as given, from the samples' inliers on.
//
// Rounds. The best circle's inliers (|e_i| <= t) are fitted with the chosen method (fit_set);
// the inliers are decided again from that fit, dropping candidates that lie nearly alone along
// the circle, and refitted until they no longer change, at most kMaxRounds times. Should they
// still change after the last round, the result keeps the points that round was fitted to, so
// the mask always describes the fit returned. Outliers spread over the plane fall near the
// circle now and then; away from the arc the inliers occupy, such a point weighs heavily on the
// fit (on a short arc it alone can set the radius), and its being near the fitted circle pulls
// that circle towards it. Dropping a true inlier that happens to lie alone costs little.
//
// Frame. All the work on samples is done in the points' own frame: centred on their mean and
// scaled by their RMS distance from it, both found on the coordinates times the power of two
// that brings the largest into [0.5, 1), whose squares neither overflow nor underflow at any
// scale of the data. So the samples, scores and first threshold are the same for data near the
// origin or far from it, and for data of any size. The refits and the rounds work on the points
// as given, as fit_set does.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/fault.hpp"
#include "base/stop.hpp"
#include "fits/binary_scale.hpp"
#include "kernel/known_fit.hpp"
#include "kernel/numbers.hpp"
#include "kernel/random.hpp"
#include "kernel/residuals.hpp"
#include "kernel/samples.hpp"

namespace tondra::kit {
namespace {

// Trials drawn between two looks at the number of trials needed.
constexpr std::int64_t kBatch = 64;
// Inlier threshold in units of the noise's standard deviation: a Gaussian residual exceeds it
// in 1.2 % of cases.
constexpr double kK = 2.5;
// median(|e| given |e| <= 2.5 sigma) / sigma for Gaussian e: Phi^-1(1/2 + (2 Phi(2.5) - 1) / 4).
// The median, not the root mean square: outliers that fall within the band are spread evenly
// across it and would inflate the mean square, and with it the next threshold.
constexpr double kTruncatedMedian = 0.6647512;
// The median absolute deviation of Gaussian noise times this is its standard deviation.
constexpr double kMadToSigma = 1.4826;
// Refits of the inliers at most; they settle in two or three on ordinary data.
constexpr int kMaxRounds = 10;
// A candidate with fewer than kSupport candidates (itself included) within kReachGaps median
// gaps along the circle is taken for an outlier that happens to lie near the circle.
constexpr double kReachGaps = 10.0;
constexpr std::size_t kSupport = 3;
// Noise-free data give residuals at rounding level; the estimated threshold stays above this
// many times the points' spread.
constexpr double kMinThreshold = 1e-9;

double distance_from(const double x, const double y, const double cx, const double cy,
                     const double r) {
  const double dx = x - cx;
  const double dy = y - cy;
  return std::fabs(std::sqrt(dx * dx + dy * dy) - r);
}

// The median of `values` (the mean of the middle two for an even count), which it reorders.
// Assumes values is not empty and holds no NaN.
double median_in_place(std::span<double> values) {
  const std::size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
  const double upper = values[mid];
  if (values.size() % 2 == 1) return upper;
  const double lower =
      *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
  return (lower + upper) / 2.0;
}

// Whether the median of the circle's absolute residuals can lie below `bound`: at least `needed`
// of them must, and the count stops as soon as too few points are left for that.
bool median_may_lie_below(const SampleCircle& c, const double bound, const std::size_t needed,
                          const RobustWorkspace& work) {
  const std::size_t n = work.px.size();
  std::size_t below = 0;
  for (std::size_t i = 0; i < n && below + (n - i) >= needed; ++i) {
    below += distance_from(work.px[i], work.py[i], c.cx, c.cy, c.r) < bound ? 1 : 0;
    if (below >= needed) return true;
  }
  return false;
}

// The first threshold, in the frame: kK times the robust scale of the batch's circle with the
// smallest median absolute residual. Only that median counts, so a circle is sorted out only
// when a count shows that its median may be smaller still: below a bound m lie at least
// floor(n / 2) + 1 of the residuals for an odd n, floor(n / 2) for an even one (whose median is
// the mean of the middle two). Circles in random order set a new smallest one about ln 64
// times in a batch, so most circles cost one partial pass and no sort.
double initial_threshold(std::span<const SampleCircle> circles, RobustWorkspace& work) {
  const std::size_t n = work.px.size();
  const std::size_t needed = n % 2 == 1 ? n / 2 + 1 : n / 2;
  work.scratch.resize(n);
  double smallest = std::numeric_limits<double>::infinity();
  for (const SampleCircle& c : circles) {
    if (std::isnan(c.r)) continue;
    if (std::isfinite(smallest) && !median_may_lie_below(c, smallest, needed, work)) continue;
    for (std::size_t i = 0; i < n; ++i) {
      work.scratch[i] = distance_from(work.px[i], work.py[i], c.cx, c.cy, c.r);
    }
    smallest = std::min(smallest, median_in_place(work.scratch));
  }
  const double small_sample = 1.0 + 5.0 / static_cast<double>(std::max<std::size_t>(n - 3, 1));
  return std::max(kK * (kMadToSigma * small_sample * smallest), kMinThreshold);
}

// A threshold in the points' units, kept positive and finite: on subnormal points it would
// underflow to 0, near the top of the range overflow to infinity.
double representable(double threshold) noexcept {
  return std::clamp(threshold, std::numeric_limits<double>::denorm_min(),
                    std::numeric_limits<double>::max());
}

// kK sigma, sigma from the median absolute residual of the inliers, made consistent for Gaussian
// noise truncated at kK sigma; `floor` for 3 inliers or fewer.
double refined_threshold(const std::vector<double>& residual, std::span<const std::uint8_t> mask,
                         const double floor, std::vector<double>& scratch) {
  scratch.clear();
  for (std::size_t i = 0; i < residual.size(); ++i) {
    if (mask[i] != 0) scratch.push_back(residual[i]);
  }
  if (scratch.size() <= 3) return floor;
  return std::max(kK * median_in_place(scratch) / kTruncatedMedian, floor);
}

// For each sorted angle a_k, the entries of the sorted `angle` shifted by `shift` that lie
// within [a_k - reach, a_k + reach], added to near[k]. Both ends of the window only move up as k
// does, so one sweep finds them all.
void add_within_reach(const std::vector<double>& angle, const double shift, const double reach,
                      std::vector<std::size_t>& near) {
  const std::size_t count = angle.size();
  std::size_t first = 0;  // first entry >= lo
  std::size_t end = 0;    // first entry > hi
  for (std::size_t k = 0; k < count; ++k) {
    const double lo = angle[k] - reach;
    const double hi = angle[k] + reach;
    while (first < count && angle[first] + shift < lo) ++first;
    end = std::max(end, first);
    while (end < count && angle[end] + shift <= hi) ++end;
    near[k] += end - first;
  }
}

// Clears from `candidates` those that lie nearly alone along the circle about (cx, cy): fewer
// than kSupport candidates (themselves included) within kReachGaps times the median angular gap
// between neighbouring candidates, on either side. The angles are counted on three turns of the
// circle, so that neighbours across -pi count; with few candidates spread round, the reach may
// exceed a turn, and a candidate then counts itself and the others more than once.
void drop_isolated(std::span<const double> x, std::span<const double> y, const double cx,
                   const double cy, std::vector<std::uint8_t>& candidates, RobustWorkspace& work) {
  std::vector<std::size_t>& where = work.where;
  where.clear();
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (candidates[i] != 0) where.push_back(i);
  }
  const std::size_t count = where.size();
  if (count <= kSupport) return;
  // Angles indexed by point, so that the sort can order the indices by them.
  std::vector<double>& gap = work.scratch;
  gap.resize(x.size());
  for (const std::size_t i : where) gap[i] = std::atan2(y[i] - cy, x[i] - cx);
  std::sort(where.begin(), where.end(), [&](std::size_t a, std::size_t b) {
    return gap[a] < gap[b] || (gap[a] == gap[b] && a < b);
  });
  std::vector<double>& angle = work.angle;
  angle.resize(count);
  for (std::size_t k = 0; k < count; ++k) angle[k] = gap[where[k]];
  gap.resize(count);
  for (std::size_t k = 0; k + 1 < count; ++k) gap[k] = angle[k + 1] - angle[k];
  gap[count - 1] = (angle[0] + kTwoPi) - angle[count - 1];  // the last one round to the first
  const double reach = kReachGaps * median_in_place(gap);
  std::vector<std::size_t>& near = work.near;
  near.assign(count, 0);
  for (const double shift : {-kTwoPi, 0.0, kTwoPi}) add_within_reach(angle, shift, reach, near);
  for (std::size_t k = 0; k < count; ++k) {
    if (near[k] < kSupport) candidates[where[k]] = 0;
  }
}

// A set that got no fit, with the trials drawn and the threshold used where it got that far.
RobustFit failure(const Status status, const std::int64_t n, const std::int64_t trials = 0,
                  const double threshold = kNaN) {
  RobustFit out{{}, trials, threshold};
  out.fit.status = status;
  out.fit.n = n;
  return out;
}

// The points' own frame (see Frame above), into work.px and work.py: a length L in the frame is
// L * spread * 2^p in the points' units.
struct SampleFrame {
  int p = 0;
  double spread = 0.0;
};

SampleFrame sample_frame(std::span<const double> x, std::span<const double> y,
                         RobustWorkspace& work) {
  const std::size_t n = x.size();
  SampleFrame frame;
  static_cast<void>(std::frexp(largest_magnitude(x, y), &frame.p));
  const int p = frame.p;
  work.px.resize(n);
  work.py.resize(n);
  double sum_x = 0.0;
  double sum_y = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    work.px[i] = std::ldexp(x[i], -p);
    work.py[i] = std::ldexp(y[i], -p);
    sum_x += work.px[i];
    sum_y += work.py[i];
  }
  const double count = static_cast<double>(n);
  const double mx = sum_x / count;
  const double my = sum_y / count;
  double sum_sq = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double dx = work.px[i] - mx;
    const double dy = work.py[i] - my;
    sum_sq += dx * dx + dy * dy;
  }
  const double spread = std::sqrt(sum_sq / count);
  for (std::size_t i = 0; i < n; ++i) {
    work.px[i] = (work.px[i] - mx) / spread;
    work.py[i] = (work.py[i] - my) / spread;
  }
  frame.spread = spread;
  return frame;
}

// What the trials found, in the frame: the best sample's circle (NaN r: none), the trials drawn
// and the threshold t they scored with.
struct Trials {
  SampleCircle best;
  std::int64_t trials = 0;
  double t = kNaN;
};

// The trials on the frame's points, the radius within [lo, hi] of the frame (lo == hi: known,
// and samples of 2 points), from the threshold `t` when given (else NaN: the first batch's).
Trials run_trials(std::span<const double> w, const RadiusBounds& bounds, const double lo,
                  const double hi, const double given_t, const RobustOptions& options,
                  RobustWorkspace& work) {
  const std::size_t n = work.px.size();
  const bool weighted = !w.empty();
  const bool known_radius = bounds.any() && bounds.lo == bounds.hi;
  const int sample_size = known_radius ? 2 : 3;
  SampleStream stream(options.seed);
  double t = given_t;
  bool have_t = options.threshold.has_value();
  double best_score = std::numeric_limits<double>::infinity();
  SampleCircle best;
  std::int64_t trials = 0;
  double needed = static_cast<double>(options.max_trials);
  std::array<SampleCircle, 2 * kBatch> batch;
  while (static_cast<double>(trials) < std::min(needed, static_cast<double>(options.max_trials))) {
    const auto size = static_cast<std::size_t>(std::min(kBatch, options.max_trials - trials));
    trials += static_cast<std::int64_t>(size);
    base::poll_stop(size * n);
    std::size_t circles = 0;
    for (std::size_t k = 0; k < size; ++k) {
      if (known_radius) {
        const auto [i, j] = draw_pair(stream, n);
        for (const SampleCircle& c : circles_of_radius(work.px, work.py, i, j, lo)) {
          batch[circles++] = c;
        }
        continue;
      }
      const auto [i, j, l] = draw_triple(stream, n);
      batch[circles] = circumcircle(work.px, work.py, i, j, l);
      // Bounds reject a circle before it is scored (NaN fails them, and stays NaN).
      if (bounds.any() && !(batch[circles].r >= lo && batch[circles].r <= hi)) {
        batch[circles] = SampleCircle{};
      }
      ++circles;
    }
    bool any = false;
    for (std::size_t k = 0; k < circles; ++k) any = any || !std::isnan(batch[k].r);
    if (!any) continue;
    if (!have_t) {
      t = initial_threshold(std::span<const SampleCircle>(batch.data(), circles), work);
      have_t = true;
    }
    const double t2 = t * t;
    for (std::size_t k = 0; k < circles; ++k) {
      const SampleCircle& c = batch[k];
      if (std::isnan(c.r)) continue;
      double score = 0.0;
      std::size_t within = 0;
      std::size_t i = 0;
      for (; i < n && score < best_score; ++i) {
        const double e = distance_from(work.px[i], work.py[i], c.cx, c.cy, c.r);
        const double term = std::min(e * e, t2);
        score += weighted ? w[i] * term : term;
        within += e <= t ? 1 : 0;
      }
      if (i < n || !(score < best_score)) continue;
      best_score = score;
      best = c;
      const double ratio = static_cast<double>(within) / static_cast<double>(n);
      needed = trials_needed(ratio, options.confidence, sample_size);
    }
  }
  return {best, trials, t};
}

// The rounds: `inliers` fitted with the chosen method, decided again from the fit (with
// `threshold` refined unless it was given, never below `floor`) and refitted until they settle.
RobustFit refit_rounds(std::span<const double> x, std::span<const double> y,
                       std::span<const double> w, const RadiusBounds& bounds,
                       const RobustOptions& options, std::span<std::uint8_t> inliers,
                       RobustWorkspace& work, const std::int64_t trials, double threshold,
                       const double floor) {
  const std::size_t n = x.size();
  const bool weighted = !w.empty();
  // Isolated candidates of the sample's circle are dropped only from the first fit on.
  work.residual.resize(n);
  work.again.resize(n);
  SetFit fit;
  for (int round = 0; round < kMaxRounds; ++round) {
    work.x_in.clear();
    work.y_in.clear();
    work.w_in.clear();
    for (std::size_t i = 0; i < n; ++i) {
      if (inliers[i] == 0) continue;
      work.x_in.push_back(x[i]);
      work.y_in.push_back(y[i]);
      if (weighted) work.w_in.push_back(w[i]);
    }
    const auto chosen = static_cast<std::int64_t>(work.x_in.size());
    if (chosen < 3) {
      return failure(Status::TooFewInliers, chosen, trials, threshold);
    }
    fit = weighted || bounds.any() ? fit_set_knowing(work.x_in, work.y_in, options.method,
                                                     Knowns{work.w_in, bounds}, work.fit)
                                   : fit_set(work.x_in, work.y_in, options.method, work.fit);
    if (fit.status != Status::Ok) {
      // Everything the refit found stays, for the message: its centre and radius when they
      // are not finite, its fault's text.
      fit.detail = fit.status;
      fit.status = Status::InliersNoCircle;
      fit.n = chosen;
      return RobustFit{std::move(fit), trials, threshold};
    }
    circle_residuals(x, y, fit.cx, fit.cy, fit.stats.r, work.residual);
    for (double& e : work.residual) e = std::fabs(e);
    if (!options.threshold)
      threshold = refined_threshold(work.residual, inliers, floor, work.scratch);
    for (std::size_t i = 0; i < n; ++i) work.again[i] = work.residual[i] <= threshold ? 1 : 0;
    drop_isolated(x, y, fit.cx, fit.cy, work.again, work);
    if (std::equal(work.again.begin(), work.again.end(), inliers.begin())) break;
    if (round + 1 < kMaxRounds) std::copy(work.again.begin(), work.again.end(), inliers.begin());
  }
  return RobustFit{std::move(fit), trials, threshold};
}

// The robust fit of points of positive weights `w` (empty: all alike; else at most 1), within
// `bounds`: the frame, the trials in it, and the rounds on the points as given.
RobustFit robust_fit(std::span<const double> x, std::span<const double> y,
                     std::span<const double> w, const RadiusBounds& bounds,
                     const RobustOptions& options, std::span<std::uint8_t> inliers,
                     RobustWorkspace& work) {
  std::fill(inliers.begin(), inliers.end(), std::uint8_t{0});
  if (const Status problem = set_problem(x, y); problem != Status::Ok) {
    return failure(problem, static_cast<std::int64_t>(x.size()));
  }
  const SampleFrame frame = sample_frame(x, y, work);
  const auto in_frame = [&](const double length) {
    return std::ldexp(length, -frame.p) / frame.spread;
  };
  const bool given = options.threshold.has_value();
  const Trials found = run_trials(w, bounds, in_frame(bounds.lo), in_frame(bounds.hi),
                                  given ? in_frame(*options.threshold) : kNaN, options, work);
  const SampleCircle& best = found.best;
  if (std::isnan(best.r)) return failure(Status::NoSample, 0, found.trials);
  for (std::size_t i = 0; i < x.size(); ++i) {
    inliers[i] = distance_from(work.px[i], work.py[i], best.cx, best.cy, best.r) <= found.t ? 1 : 0;
  }
  const double threshold =
      given ? *options.threshold : representable(std::ldexp(found.t * frame.spread, frame.p));
  const double floor = representable(kMinThreshold * std::ldexp(frame.spread, frame.p));
  return refit_rounds(x, y, w, bounds, options, inliers, work, found.trials, threshold, floor);
}

}  // namespace

RobustFit fit_set_robust(std::span<const double> x, std::span<const double> y,
                         const RobustOptions& options, std::span<std::uint8_t> inliers,
                         RobustWorkspace& work, const Knowns& knowns) {
  if (x.size() != y.size() || inliers.size() != x.size() ||
      !(knowns.weights.empty() || knowns.weights.size() == x.size())) {
    base::fault("fit_set_robust: " + std::to_string(x.size()) + " x, " + std::to_string(y.size()) +
                " y, " + std::to_string(knowns.weights.size()) + " weights and " +
                std::to_string(inliers.size()) + " inlier flags");
  }
  if (knowns.weights.empty()) return robust_fit(x, y, {}, knowns.bounds, options, inliers, work);
  // Points of weight 0 take no part; the others' weights are taken relative to the largest.
  double largest = 0.0;
  for (const double v : knowns.weights) largest = std::max(largest, v);
  work.kx.clear();
  work.ky.clear();
  work.kw.clear();
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!(knowns.weights[i] > 0.0)) continue;
    work.kx.push_back(x[i]);
    work.ky.push_back(y[i]);
    work.kw.push_back(knowns.weights[i] / largest);
  }
  work.k_inliers.assign(work.kx.size(), 0);
  RobustFit out =
      robust_fit(work.kx, work.ky, work.kw, knowns.bounds, options, work.k_inliers, work);
  std::size_t k = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    inliers[i] = knowns.weights[i] > 0.0 ? work.k_inliers[k++] : 0;
  }
  return out;
}

}  // namespace tondra::kit
