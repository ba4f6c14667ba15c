#pragma once
// Internal faults: a violated expectation inside a call (an unwrapped error, an index out of
// range, an unimplemented method). A fault is reported on fd 2 the moment it is raised, then
// unwinds the whole call as a C++ exception; only the entry shims catch it and turn it into the
// host's PanicException. This unit knows nothing of the host, so the numerical code can use it.
//
// Report format (written with one write(2) call, never through the host's sys.stderr):
//   thread '<unnamed>' panicked at FILE:LINE:COLUMN:
//   MESSAGE
// followed, on the first fault of the process only, by a note on how to get a backtrace. With
// TONDRA_BACKTRACE set to anything but "" or "0", every report carries a backtrace instead.

#include <exception>
#include <source_location>
#include <string>

namespace tondra::base {

// Where a fault was raised. Defaults capture the caller's position, so helpers that fault on
// behalf of their caller take a SourcePos parameter defaulted to SourcePos::here().
struct SourcePos {
  const char* file;
  unsigned line;
  unsigned column;

  static constexpr SourcePos here(
      std::source_location loc = std::source_location::current()) noexcept {
    return SourcePos{loc.file_name(), static_cast<unsigned>(loc.line()),
                     static_cast<unsigned>(loc.column())};
  }
};

class Fault : public std::exception {
 public:
  Fault(std::string message, SourcePos where) : message_(std::move(message)), where_(where) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  SourcePos where() const noexcept { return where_; }

 private:
  std::string message_;
  SourcePos where_;
};

// Reports the fault on fd 2 and throws it. Never returns.
[[noreturn]] void fault(std::string message, SourcePos where = SourcePos::here());

// Throws a fault whose report has already been written (a fault resumed after it travelled
// through host code as a PanicException).
[[noreturn]] void resume_fault(std::string message, SourcePos where = SourcePos::here());

// Writes the report of a fault to fd 2 (used by fault(); exposed for the abort path).
void report_fault(const std::string& message, SourcePos where) noexcept;

// Writes all of `text` to fd 2 directly, retrying on interruption; errors are ignored.
void write_stderr(const std::string& text) noexcept;

// A warning of the numerical code: written to fd 2 as it stands, unless reports are quiet on
// this thread.
void warn(const std::string& text) noexcept;

// While one lives on a thread, that thread's faults are thrown without a report and its warnings
// are dropped. The kit's engine fits sets on worker threads and turns every failure into a value
// of its own; reports written from there would be noise, and would race with the host's writes.
// Nests; the reports come back when the outermost one ends.
class QuietReports {
 public:
  QuietReports() noexcept;
  ~QuietReports();
  QuietReports(const QuietReports&) = delete;
  QuietReports& operator=(const QuietReports&) = delete;
};

// Faults with "index out of bounds: the len is LEN but the index is INDEX" unless index < len.
inline void check_index(std::size_t index, std::size_t len, SourcePos where = SourcePos::here()) {
  if (index >= len) {
    fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
              std::to_string(index),
          where);
  }
}

// Faults with "assertion failed: CONDITION" when `ok` is false.
inline void check(bool ok, const char* condition, SourcePos where = SourcePos::here()) {
  if (!ok) fault(std::string("assertion failed: ") + condition, where);
}

}  // namespace tondra::base
