#include "base/fault.hpp"

#include <execinfo.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tondra::base {
namespace {

// Backtraces are opt-in: they are slow to symbolise and noisy in ordinary use.
bool backtrace_enabled() noexcept {
  const char* value = std::getenv("TONDRA_BACKTRACE");
  return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

std::atomic<bool> g_first_fault_seen{false};

// How many QuietReports live on this thread.
thread_local int t_quiet_depth = 0;

}  // namespace

void write_stderr(const std::string& text) noexcept {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report to
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

QuietReports::QuietReports() noexcept { ++t_quiet_depth; }
QuietReports::~QuietReports() { --t_quiet_depth; }

void warn(const std::string& text) noexcept {
  if (t_quiet_depth == 0) write_stderr(text);
}

void report_fault(const std::string& message, SourcePos where) noexcept {
  if (t_quiet_depth > 0) return;
  try {
    std::string text = "thread '<unnamed>' panicked at ";
    text += where.file;
    text += ':' + std::to_string(where.line) + ':' + std::to_string(where.column) + ":\n";
    text += message;
    text += '\n';
    const bool first = !g_first_fault_seen.exchange(true, std::memory_order_relaxed);
    if (backtrace_enabled()) {
      text += "stack backtrace:\n";
      write_stderr(text);
      void* frames[64];
      const int count = ::backtrace(frames, 64);
      ::backtrace_symbols_fd(frames, count, STDERR_FILENO);
      return;
    }
    if (first) {
      text += "note: run with `TONDRA_BACKTRACE=1` environment variable to display a backtrace\n";
    }
    write_stderr(text);
  } catch (...) {
    // Out of memory while formatting: the fault itself still propagates.
  }
}

void fault(std::string message, SourcePos where) {
  report_fault(message, where);
  throw Fault(std::move(message), where);
}

void resume_fault(std::string message, SourcePos where) { throw Fault(std::move(message), where); }

}  // namespace tondra::base
