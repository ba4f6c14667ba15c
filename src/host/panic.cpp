#include "host/panic.hpp"

#include <cstdlib>
#include <new>

#include "host/fault.hpp"
#include "host/host_error.hpp"
#include "host/text.hpp"

namespace tondra::host {
namespace {

constexpr const char* kPanicTypeName = "kelvar_runtime.PanicException";
constexpr const char* kPanicTypeDoc =
    "\n"
    "Raised when the native code of the tondra module panics.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it\n"
    "will typically propagate all the way up the stack and make the interpreter exit.\n";

// An owned reference, released only at the teardown of the interpreter that owns the module:
// pending exceptions may refer to the type until then.
PyObject* g_panic_type = nullptr;

}  // namespace

PyObject* panic_type() {
  if (g_panic_type != nullptr) return g_panic_type;
  PyRef made = PyRef::steal(
      PyErr_NewExceptionWithDoc(kPanicTypeName, kPanicTypeDoc, PyExc_BaseException, nullptr));
  if (!made) {
    // Not `take`: it would come back here to compare the pending type with ours.
    PyRef pending = PyRef::steal(compat::get_raised_exception());
    // Out of memory is no broken invariant: the caller reports it as the host's MemoryError.
    if (pending && PyErr_GivenExceptionMatches(pending.get(), PyExc_MemoryError)) {
      throw std::bad_alloc();
    }
    const HostError error =
        pending ? HostError::captured(std::move(pending)) : HostError::none_was_set();
    fault("Failed to initialize new exception type.: " + debug_text(error));
  }
  // Making a type runs no user code today; should that change, the first type made wins.
  if (g_panic_type == nullptr) g_panic_type = made.release();
  return g_panic_type;
}

bool is_panic_type(PyObject* type) noexcept {
  return g_panic_type != nullptr && type == g_panic_type;
}

void release_panic_type() noexcept { Py_CLEAR(g_panic_type); }

void raise_panic(const std::string& message) noexcept {
  try {
    HostError::deferred(panic_type(), message).restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    report_fault("uncaught panic at ffi boundary", SourcePos::here());
    std::abort();
  }
}

void resume_panic(PyRef exception) {
  std::string message = "Unwrapped panic from Python code";
  const PyRef str = PyRef::steal(PyObject_Str(exception.get()));
  std::optional<std::string> text = str ? string_text(str.get()) : std::nullopt;
  if (text) {
    message = std::move(*text);
  } else {
    PyErr_Clear();
  }
  write_stderr(
      "panic resumed after a PanicException was fetched from Python\n"
      "Python stack trace below:\n");
  compat::set_raised_exception(exception.release());
  PyErr_PrintEx(0);
  resume_fault(std::move(message));
}

}  // namespace tondra::host
