#include "engine/roundness_batch.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "base/stop.hpp"

namespace tondra::kit {
namespace {

void one_set(const RoundnessBatchInput& in, RoundnessBatchOutput& out, std::size_t g) {
  const auto a = static_cast<std::size_t>(in.offsets[g]);
  const auto b = static_cast<std::size_t>(in.offsets[g + 1]);
  const bool about = in.reference == Reference::About;
  Roundness r;
  try {
    r = roundness(in.x.subspan(a, b - a), in.y.subspan(a, b - a), in.reference,
                  about ? in.cx[g] : 0.0, about ? in.cy[g] : 0.0);
  } catch (const base::Stopped&) {
    throw;  // the batch is stopping
  } catch (...) {
    out.status[g] = kRoundnessFailed;
    return;
  }
  out.status[g] = static_cast<std::int8_t>(r.status);
  out.shape[g] = static_cast<std::int8_t>(r.shape);
  const bool ok = r.status == RoundnessStatus::Ok;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  out.cx[g] = ok ? r.cx : nan;
  out.cy[g] = ok ? r.cy : nan;
  out.inner[g] = ok ? r.inner : nan;
  out.outer[g] = ok ? r.outer : nan;
  out.ront[g] = ok ? r.ront : nan;
  for (int k = 0; k < 4; ++k) {
    out.support[4 * g + static_cast<std::size_t>(k)] =
        ok && k < r.supports ? r.support[static_cast<std::size_t>(k)] : -1;
  }
}

}  // namespace

const char* roundness_batch_problem(const RoundnessBatchInput& in,
                                    const RoundnessBatchOutput& out) {
  if (in.x.size() != in.y.size()) return "x and y differ in length";
  if (in.offsets.empty() || in.offsets.front() != 0 ||
      in.offsets.back() != static_cast<std::int64_t>(in.x.size()) ||
      !std::is_sorted(in.offsets.begin(), in.offsets.end())) {
    return "the offsets do not run from 0 to the number of points without decreasing";
  }
  const std::size_t sets = in.offsets.size() - 1;
  if (in.reference == Reference::About && (in.cx.size() != sets || in.cy.size() != sets)) {
    return "a centre per set is needed";
  }
  for (const std::size_t size :
       {out.status.size(), out.shape.size(), out.cx.size(), out.cy.size(), out.inner.size(),
        out.outer.size(), out.ront.size(), out.support.size() / 4}) {
    if (size != sets) return "the output columns do not fit the sets";
  }
  return "";
}

bool run_roundness_batch(const RoundnessBatchInput& in, RoundnessBatchOutput& out, unsigned workers,
                         const std::function<bool()>& keep_going,
                         std::chrono::milliseconds poll_interval) {
  const std::size_t sets = in.offsets.size() - 1;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  // A long set stops from inside too: a helper once the flag is set, the caller when it finds
  // a pending signal.
  // Helpers still working, so that the caller can wait for them and still look up.
  std::mutex mutex;
  std::condition_variable finished_one;
  unsigned running = 0;
  auto work = [&] {
    base::StopFlag flag(stop);
    try {
      const base::ScopedStopCheck check(flag, poll_interval);
      while (!stop.load(std::memory_order_relaxed)) {
        const std::size_t g = next.fetch_add(1);
        if (g >= sets) break;
        one_set(in, out, g);
      }
    } catch (const base::Stopped&) {
      // the set stays unfinished; the batch reports the stop
    }
    const std::lock_guard lock(mutex);
    --running;
    finished_one.notify_all();
  };
  std::vector<std::jthread> threads;
  const unsigned extra = std::min<std::size_t>(workers, sets) > 1
                             ? static_cast<unsigned>(std::min<std::size_t>(workers, sets)) - 1
                             : 0;
  try {
    for (unsigned t = 0; t < extra; ++t) {
      {
        const std::lock_guard lock(mutex);
        ++running;
      }
      threads.emplace_back(work);
    }
  } catch (...) {
    // Fewer threads than asked for: the ones started and the caller do the work.
    const std::lock_guard lock(mutex);
    --running;
  }
  auto last_poll = std::chrono::steady_clock::now();
  bool finished = true;
  base::StopUnless asked(keep_going);
  try {
    const base::ScopedStopCheck check(asked, poll_interval);
    while (!stop.load(std::memory_order_relaxed)) {
      const std::size_t g = next.fetch_add(1);
      if (g >= sets) break;
      one_set(in, out, g);
      const auto now = std::chrono::steady_clock::now();
      if (now - last_poll >= poll_interval) {
        last_poll = now;
        if (!keep_going()) {
          stop.store(true);
          finished = false;
        }
      }
    }
  } catch (const base::Stopped&) {
    stop.store(true);
    finished = false;
  }
  // A helper may still be on a long set: the caller waits, looking up at every interval.
  {
    std::unique_lock lock(mutex);
    while (running > 0) {
      if (finished_one.wait_for(lock, poll_interval, [&] { return running == 0; })) break;
      lock.unlock();
      if (!stop.load(std::memory_order_relaxed) && !keep_going()) {
        stop.store(true);
        finished = false;
      }
      lock.lock();
    }
  }
  threads.clear();  // joins
  return finished;
}

}  // namespace tondra::kit
