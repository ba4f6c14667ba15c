#include "host/entry.hpp"

#include <string>

namespace tondra::host {
namespace {

thread_local long g_lock_depth = 0;

constexpr const char* kForeignPanicMessage = "panic from native code";

}  // namespace

LockMark::LockMark() noexcept { ++g_lock_depth; }
LockMark::~LockMark() { --g_lock_depth; }

bool lock_held() noexcept { return g_lock_depth > 0; }

// Should even the message not fit in memory, noexcept ends the process here: there is no
// longer a safe way to tell the host.
void raise_foreign_exception(const char* what) noexcept {
  const std::string message = what != nullptr ? what : kForeignPanicMessage;
  base::report_fault(message, base::SourcePos::here());
  raise_panic(message);
}

}  // namespace tondra::host
