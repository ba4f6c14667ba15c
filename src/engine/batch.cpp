#include "engine/batch.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "base/fault.hpp"
#include "base/stop.hpp"
#include "engine/grouping.hpp"
#include "kernel/known_fit.hpp"
#include "kernel/set_fit.hpp"

namespace tondra::kit {
namespace {

// Sets are taken from the shared counter a few at a time: enough points per take that the
// counter costs nothing, few enough that the threads finish together and a stop is seen soon.
constexpr std::int64_t kPointsPerTake = 2048;
constexpr std::size_t kMaxSetsPerTake = 256;
// The caller reads the clock (to see whether to poll) after this many points or a set as large:
// reading it after every small set would cost more than a per cent of the fits.
constexpr std::size_t kPointsPerClockRead = 1024;

struct Shared {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable finished;
  unsigned running = 0;  // helper threads still working, under mutex
};

void store(const SetFit& fit, std::size_t g, BatchOutput& out) {
  out.status[g] = static_cast<std::int8_t>(fit.status);
  out.detail[g] = static_cast<std::int8_t>(fit.detail);
  out.cx[g] = fit.cx;
  out.cy[g] = fit.cy;
  out.r[g] = fit.stats.r;
  out.rms[g] = fit.stats.rms;
  std::copy(fit.stats.cov.begin(), fit.stats.cov.end(),
            out.cov.begin() + static_cast<std::ptrdiff_t>(9 * g));
  out.cov_exponent[g] = fit.stats.cov_exponent;
  out.n[g] = fit.n;
  out.iterations[g] = fit.iterations;
  out.converged[g] = fit.converged ? 1 : 0;
  out.arc[g] = fit.arc;
}

class Worker {
 public:
  Worker(const BatchInput& input, BatchOutput& output, Shared& shared, std::size_t take,
         const SetFitter& fitter)
      : in_(input), out_(output), shared_(shared), take_(take), fitter_(fitter) {}

  // Fits sets until none is left or the batch stops; `between` runs after every set, given its
  // number of points.
  template <class Between>
  void run(Between&& between) {
    const std::size_t sets = in_.offsets.size() - 1;
    while (!shared_.stop.load(std::memory_order_relaxed)) {
      const std::size_t first = shared_.next.fetch_add(take_, std::memory_order_relaxed);
      if (first >= sets) break;
      const std::size_t last = std::min(sets, first + take_);
      for (std::size_t g = first; g < last; ++g) {
        if (shared_.stop.load(std::memory_order_relaxed)) return;
        fit_one(g);
        between(static_cast<std::size_t>(in_.offsets[g + 1] - in_.offsets[g]));
      }
    }
  }

  std::vector<std::pair<std::size_t, std::string>>& messages() { return messages_; }

 private:
  void fit_one(std::size_t g) {
    const auto a = static_cast<std::size_t>(in_.offsets[g]);
    const auto b = static_cast<std::size_t>(in_.offsets[g + 1]);
    const std::span<const double> x = in_.x.subspan(a, b - a);
    const std::span<const double> y = in_.y.subspan(a, b - a);
    SetFit fit;
    try {
      if (fitter_) {
        RobustFit given = fitter_(
            g, x, y,
            in_.robust != nullptr ? out_.inliers.subspan(a, b - a) : std::span<std::uint8_t>(),
            work_.fit);
        if (in_.robust != nullptr) {
          out_.trials[g] = given.trials;
          out_.threshold[g] = given.threshold;
        }
        fit = std::move(given.fit);
      } else if (in_.robust != nullptr) {
        const Knowns knowns{in_.weights.empty() ? in_.weights : in_.weights.subspan(a, b - a),
                            in_.bounds};
        RobustFit robust =
            fit_set_robust(x, y, *in_.robust, out_.inliers.subspan(a, b - a), work_, knowns);
        out_.trials[g] = robust.trials;
        out_.threshold[g] = robust.threshold;
        fit = std::move(robust.fit);
      } else if (in_.weights.empty() && !in_.bounds.any()) {
        fit = fit_set(x, y, in_.method, work_.fit);
      } else {
        const Knowns knowns{in_.weights.empty() ? in_.weights : in_.weights.subspan(a, b - a),
                            in_.bounds};
        fit = fit_set_knowing(x, y, in_.method, knowns, work_.fit);
      }
    } catch (const base::Stopped&) {
      throw;  // the batch is stopping: this set stays Cancelled
    } catch (const std::bad_alloc&) {
      fit = SetFit{};
      fit.status = Status::NoMemory;
    } catch (const std::exception& e) {
      // fit_set turns the fits' faults into statuses; anything else is a fault of ours, kept
      // to this set rather than let loose on a thread.
      fit = SetFit{};
      fit.status = Status::FitFailed;
      fit.message = e.what();
    } catch (...) {
      fit = SetFit{};
      fit.status = Status::FitFailed;
      fit.message = "unexpected C++ exception";
    }
    store(fit, g, out_);
    if (!fit.message.empty()) {
      try {
        messages_.emplace_back(g, std::move(fit.message));
      } catch (const std::bad_alloc&) {
        out_.status[g] = static_cast<std::int8_t>(Status::NoMemory);
      }
    }
  }

  const BatchInput& in_;
  BatchOutput& out_;
  Shared& shared_;
  std::size_t take_;
  const SetFitter& fitter_;
  RobustWorkspace work_;  // plain fits use its `fit` part
  std::vector<std::pair<std::size_t, std::string>> messages_;
};

}  // namespace

std::string batch_problem(const BatchInput& in, const BatchOutput& out) {
  if (in.x.size() != in.y.size()) return "x and y differ in length";
  std::string problem = offsets_problem(in.offsets, in.x.size());
  if (!problem.empty()) return problem;
  const std::size_t sets = in.offsets.size() - 1;
  const bool sized =
      out.status.size() == sets && out.detail.size() == sets && out.cx.size() == sets &&
      out.cy.size() == sets && out.r.size() == sets && out.rms.size() == sets &&
      out.cov.size() == 9 * sets && out.cov_exponent.size() == sets && out.n.size() == sets &&
      out.iterations.size() == sets && out.converged.size() == sets && out.arc.size() == sets;
  if (!sized) return "an output has the wrong size";
  if (!in.weights.empty() && in.weights.size() != in.x.size()) {
    return "weights and x differ in length";
  }
  if (in.robust != nullptr && !(out.trials.size() == sets && out.threshold.size() == sets &&
                                out.inliers.size() == in.x.size())) {
    return "a robust output has the wrong size";
  }
  return {};
}

bool run_batch(const BatchInput& in, BatchOutput& out, unsigned workers,
               const std::function<bool()>& keep_going, std::chrono::milliseconds poll_interval,
               const SetFitter& fitter) {
  const std::size_t sets = in.offsets.size() - 1;
  std::fill(out.status.begin(), out.status.end(), static_cast<std::int8_t>(Status::Cancelled));
  if (sets == 0) return true;
  const std::int64_t points = in.offsets.back();
  const std::int64_t per_set = std::max<std::int64_t>(1, points / static_cast<std::int64_t>(sets));
  const std::size_t take = static_cast<std::size_t>(
      std::clamp<std::int64_t>(kPointsPerTake / per_set, 1, kMaxSetsPerTake));
  // No more threads than takes: a thread costs more to start than a small take costs to fit.
  const std::size_t takes = (sets + take - 1) / take;
  const unsigned threads =
      static_cast<unsigned>(std::min<std::size_t>(std::max(workers, 1U), takes));

  Shared shared;
  // Helpers first: each has a worker of its own; the last thing each does is say it is done.
  std::vector<Worker> helpers;
  helpers.reserve(threads - 1);
  for (unsigned t = 1; t < threads; ++t) helpers.emplace_back(in, out, shared, take, fitter);
  std::vector<std::jthread> pool;
  pool.reserve(helpers.size());
  for (Worker& helper : helpers) {
    try {
      {
        const std::lock_guard lock(shared.mutex);
        ++shared.running;
      }
      pool.emplace_back([&shared, &helper, poll_interval] {
        const base::QuietReports quiet;
        base::StopFlag flag(shared.stop);
        try {
          const base::ScopedStopCheck check(flag, poll_interval);
          helper.run([](std::size_t) {});
        } catch (const base::Stopped&) {
          // Stopped inside a set's fit: the set stays Cancelled.
        }
        const std::lock_guard lock(shared.mutex);
        --shared.running;
        shared.finished.notify_all();
      });
    } catch (const std::system_error&) {
      // No more threads to be had: the ones started (and the caller) do the work.
      const std::lock_guard lock(shared.mutex);
      --shared.running;
      break;
    }
  }

  // The caller works as well, and looks up at every poll interval.
  auto next_poll = std::chrono::steady_clock::now() + poll_interval;
  std::size_t unclocked = 0;  // points fitted since the clock was last read
  auto poll = [&](const std::size_t points) {
    unclocked += points;
    if (unclocked < kPointsPerClockRead) return;
    unclocked = 0;
    if (std::chrono::steady_clock::now() < next_poll) return;
    if (!keep_going()) shared.stop.store(true, std::memory_order_relaxed);
    next_poll = std::chrono::steady_clock::now() + poll_interval;
  };
  Worker caller(in, out, shared, take, fitter);
  {
    // A long set's fit looks up as well, from inside (every few thousand points or trials).
    const base::QuietReports quiet;
    base::StopUnless asked(keep_going);
    try {
      const base::ScopedStopCheck check(asked, poll_interval);
      caller.run(poll);
    } catch (const base::Stopped&) {
      shared.stop.store(true, std::memory_order_relaxed);
    }
  }
  // Then it waits for the helpers, still looking up now and then.
  {
    std::unique_lock lock(shared.mutex);
    while (shared.running > 0) {
      if (shared.finished.wait_for(lock, poll_interval, [&] { return shared.running == 0; })) break;
      lock.unlock();
      if (!keep_going()) shared.stop.store(true, std::memory_order_relaxed);
      lock.lock();
    }
  }
  pool.clear();  // joins

  out.messages = std::move(caller.messages());
  for (Worker& helper : helpers) {
    for (auto& m : helper.messages()) out.messages.push_back(std::move(m));
  }
  return !shared.stop.load(std::memory_order_relaxed);
}

}  // namespace tondra::kit
