#include "host/entry.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>

#include "base/stack.hpp"

namespace tondra::host {
namespace {

// What a call needs below the check: one level of re-entry (our conversion, the host calling a
// user __float__, that calling us again: a few KiB in a release build, several times that at
// -O0 or with the sanitizers' redzones), or the deepest path of a call that does not re-enter
// (the fits, LAPACK, a fault report, the host printing a resumed panic's traceback), and the
// host's own raising and unwinding of the RecursionError. 256 KiB covers each many times over.
constexpr std::size_t kStackMargin = std::size_t{256} << 10;
// A thread started with a small stack keeps three quarters of it for ordinary calls: a call that
// runs on it today must not be refused.
constexpr std::size_t kMarginShareOfStack = 4;

constexpr const char* kStackMessage =
    "maximum recursion depth exceeded: too little C stack left to call tondra again";

}  // namespace

bool refuse_for_lack_of_stack() noexcept {
  const std::optional<base::StackRoom> room = base::stack_room();
  if (!room) return false;  // not on the thread's own stack: the recursion limit must do
  const std::size_t margin = std::min(kStackMargin, room->size / kMarginShareOfStack);
  if (room->left >= margin) return false;
  PyErr_SetString(PyExc_RecursionError, kStackMessage);
  return true;
}

}  // namespace tondra::host
