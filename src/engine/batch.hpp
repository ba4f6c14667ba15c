#pragma once
// Many point sets fitted on several threads. The sets lie one after another in two flat
// coordinate arrays, set g being points offsets[g] to offsets[g + 1] - 1; every set is fitted on
// its own (fit_set or fit_set_robust), so its result does not depend on the batch, the number of
// threads or the order in which they take the sets.
//
// Threads: the calling thread works too, and every `poll_interval` it asks `keep_going` whether
// to go on (the host uses that moment to look for a pending interrupt). Nothing of a set's fit
// can escape its thread: every failure, an exhausted allocation included, becomes that set's
// status. Once `keep_going` says no, no thread starts another set; the sets left get
// Status::Cancelled and run_batch returns false.

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "kernel/knowns.hpp"
#include "kernel/method.hpp"
#include "kernel/robust.hpp"

namespace tondra::kit {

struct BatchInput {
  std::span<const double> x;
  std::span<const double> y;
  std::span<const std::int64_t> offsets;  // sets + 1 entries, from 0, nondecreasing, to x.size()
  Method method = Method::Lsq;
  const RobustOptions* robust = nullptr;  // robust fits when given
  std::span<const double> weights;        // one per point, or empty: all points alike
  RadiusBounds bounds;
};

// One entry per set in each span (cov: 9 per set; inliers: one per point, robust fits only).
struct BatchOutput {
  std::span<std::int8_t> status;
  std::span<std::int8_t> detail;
  std::span<double> cx;
  std::span<double> cy;
  std::span<double> r;
  std::span<double> rms;
  std::span<double> cov;
  std::span<std::int32_t> cov_exponent;
  std::span<std::int64_t> n;
  std::span<std::int64_t> iterations;
  std::span<std::uint8_t> converged;
  std::span<double> arc;
  std::span<std::int64_t> trials;   // robust fits only
  std::span<double> threshold;      // robust fits only
  std::span<std::uint8_t> inliers;  // robust fits only
  std::span<std::int8_t> termination;
  // The sets whose status carries a message (FitFailed, and InliersNoCircle after a fault), with
  // it, in no particular order.
  std::vector<std::pair<std::size_t, std::string>> messages;
};

// Whether the input is well formed: offsets from 0 to x.size() without decreasing, x and y
// equally long, and every output span of the right size. An empty text when it is.
std::string batch_problem(const BatchInput& input, const BatchOutput& output);

// How one set is fitted: set g's points and its share of the inlier mask in, its result out
// (trials and threshold matter to robust fits only). The batch's own fits by default; tests put
// in fits that fail on purpose.
using SetFitter =
    std::function<RobustFit(std::size_t set, std::span<const double> x, std::span<const double> y,
                            std::span<std::uint8_t> inliers, Workspace& work)>;

// Fits every set of a well-formed batch (see batch_problem) on up to `workers` threads (at least
// one, the caller's). Returns false when `keep_going` stopped it.
bool run_batch(const BatchInput& input, BatchOutput& output, unsigned workers,
               const std::function<bool()>& keep_going,
               std::chrono::milliseconds poll_interval = std::chrono::milliseconds(20),
               const SetFitter& fitter = {});

}  // namespace tondra::kit
