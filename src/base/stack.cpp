#include "base/stack.hpp"

#include <pthread.h>

#include <cstdint>

namespace tondra::base {
namespace {

struct Bounds {
  std::uintptr_t low = 0;  // lowest usable address; 0 when unknown
  std::uintptr_t high = 0;
  bool asked = false;
};

// Constant-initialised, so that reading it on every call costs no initialisation check.
thread_local Bounds t_bounds;

// Asked once per thread (for the main thread the answer takes a read of /proc/self/maps), and
// kept out of line so that the check made on every call stays a few instructions.
[[gnu::cold, gnu::noinline]] void ask_bounds(Bounds& bounds) noexcept {
  bounds.asked = true;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* address = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attr, &address, &size) == 0 && address != nullptr && size > 0) {
    bounds.low = reinterpret_cast<std::uintptr_t>(address);
    bounds.high = bounds.low + size;
  }
  pthread_attr_destroy(&attr);
}

}  // namespace

std::optional<StackRoom> stack_room() noexcept {
  Bounds& bounds = t_bounds;
  if (!bounds.asked) ask_bounds(bounds);
  // The frame address, not a local's: under AddressSanitizer locals may live on a fake stack
  // on the heap, while frames stay on the real one.
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (bounds.low == 0 || here <= bounds.low || here > bounds.high) return std::nullopt;
  return StackRoom{here - bounds.low, bounds.high - bounds.low};
}

}  // namespace tondra::base
