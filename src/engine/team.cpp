#include "engine/team.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "base/fault.hpp"
#include "base/stop.hpp"

namespace tondra::kit {
namespace {

// The caller reads the clock (to see whether to poll) after this many work units or an item as
// large: reading it after every small item would cost more than a per cent of the work.
constexpr std::size_t kWorkPerClockRead = 1024;

class Team {
 public:
  Team(std::size_t items, const TeamPlan& plan, const TeamJob& job)
      : items_(items), take_(std::max<std::size_t>(plan.take, 1)), job_(job) {}

  bool stopped() const { return stop_.load(std::memory_order_relaxed); }
  void stop() { stop_.store(true, std::memory_order_relaxed); }
  const std::atomic<bool>& stop_flag() const { return stop_; }

  // Does items until none is left or the team stops; `between` runs after every item, given
  // its work units.
  template <class Between>
  void work(unsigned worker, Between&& between) {
    while (!stopped()) {
      const std::size_t first = next_.fetch_add(take_, std::memory_order_relaxed);
      if (first >= items_) return;
      const std::size_t last = std::min(items_, first + take_);
      for (std::size_t item = first; item < last; ++item) {
        if (stopped()) return;
        between(job_(worker, item));
      }
    }
  }

  // Keeps the first exception that escaped a job, and stops the team.
  void fail(std::exception_ptr failure) {
    {
      const std::lock_guard lock(mutex_);
      if (!failure_) failure_ = std::move(failure);
    }
    stop();
  }
  std::exception_ptr failure() {
    const std::lock_guard lock(mutex_);
    return failure_;
  }

  void starting() {
    const std::lock_guard lock(mutex_);
    ++running_;
  }
  void ended() {
    const std::lock_guard lock(mutex_);
    --running_;
    finished_.notify_all();
  }

  // Waits for the helpers, calling `look_up` at every interval until they have ended.
  template <class LookUp>
  void wait(std::chrono::milliseconds interval, LookUp&& look_up) {
    std::unique_lock lock(mutex_);
    while (running_ > 0) {
      if (finished_.wait_for(lock, interval, [this] { return running_ == 0; })) break;
      lock.unlock();
      look_up();
      lock.lock();
    }
  }

 private:
  const std::size_t items_;
  const std::size_t take_;
  const TeamJob& job_;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable finished_;
  unsigned running_ = 0;  // helpers still working, under mutex_
  std::exception_ptr failure_;
};

}  // namespace

unsigned team_threads(const std::size_t items, const TeamPlan& plan) {
  const std::size_t take = std::max<std::size_t>(plan.take, 1);
  const std::size_t takes = (items + take - 1) / take;
  return static_cast<unsigned>(
      std::max<std::size_t>(1, std::min<std::size_t>(std::max(plan.threads, 1U), takes)));
}

bool run_team(const std::size_t items, const TeamPlan& plan, const TeamJob& job,
              const std::function<bool()>& keep_going) {
  Team team(items, plan, job);
  const unsigned threads = team_threads(items, plan);
  const std::chrono::milliseconds interval = plan.poll_interval;
  std::vector<std::jthread> helpers;
  helpers.reserve(threads - 1);
  for (unsigned worker = 1; worker < threads; ++worker) {
    team.starting();
    try {
      helpers.emplace_back([&team, worker, interval] {
        const base::QuietReports quiet;
        base::StopFlag flag(team.stop_flag());
        try {
          const base::ScopedStopCheck check(flag, interval);
          team.work(worker, [](std::size_t) {});
        } catch (const base::Stopped&) {
          // Stopped inside an item: the team is stopping.
        } catch (...) {
          team.fail(std::current_exception());
        }
        team.ended();
      });
    } catch (const std::system_error&) {
      team.ended();  // no more threads to be had: those started and the caller do the work
      break;
    } catch (const std::bad_alloc&) {
      team.ended();
      break;
    }
  }

  bool finished = true;
  const auto look_up = [&] {
    if (!team.stopped() && !keep_going()) {
      team.stop();
      finished = false;
    }
  };
  auto next_poll = std::chrono::steady_clock::now() + interval;
  std::size_t unclocked = 0;  // work units done since the clock was last read
  const auto between = [&](const std::size_t work) {
    unclocked += work;
    if (unclocked < kWorkPerClockRead) return;
    unclocked = 0;
    if (std::chrono::steady_clock::now() < next_poll) return;
    look_up();
    next_poll = std::chrono::steady_clock::now() + interval;
  };
  {
    const base::QuietReports quiet;
    base::StopUnless asked(keep_going);
    try {
      const base::ScopedStopCheck check(asked, interval);
      team.work(0, between);
    } catch (const base::Stopped&) {
      team.stop();
      finished = false;
    } catch (...) {
      team.fail(std::current_exception());
    }
  }
  // A helper may still be on a long item: the caller waits, still looking up.
  team.wait(interval, look_up);
  helpers.clear();  // joins
  if (const std::exception_ptr failure = team.failure()) std::rethrow_exception(failure);
  return finished;
}

}  // namespace tondra::kit
