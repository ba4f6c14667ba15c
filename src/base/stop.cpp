#include "base/stop.hpp"

namespace tondra::base {
namespace {

// Reading the clock costs about as much as evaluating a few points; after this much work it is
// a small fraction of it.
constexpr std::size_t kWorkPerClockRead = std::size_t{1} << 12;

struct Installed {
  StopCheck* check = nullptr;
  std::chrono::milliseconds interval{0};
  std::chrono::steady_clock::time_point next{};
  std::size_t work = 0;  // since the clock was last read
};
thread_local Installed t_installed;

}  // namespace

ScopedStopCheck::ScopedStopCheck(StopCheck& check, const std::chrono::milliseconds interval)
    : check_(t_installed.check),
      interval_(t_installed.interval),
      next_(t_installed.next),
      work_(t_installed.work) {
  t_installed = Installed{&check, interval, std::chrono::steady_clock::now() + interval, 0};
}

ScopedStopCheck::~ScopedStopCheck() { t_installed = Installed{check_, interval_, next_, work_}; }

void poll_stop(const std::size_t work) {
  Installed& s = t_installed;
  if (s.check == nullptr) return;
  s.work += work;
  if (s.work < kWorkPerClockRead) return;
  s.work = 0;
  const auto now = std::chrono::steady_clock::now();
  if (now < s.next) return;
  if (s.check->stop_now()) throw Stopped{};
  s.next = std::chrono::steady_clock::now() + s.interval;
}

}  // namespace tondra::base
