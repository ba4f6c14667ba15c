#pragma once
// The bracket around every call from the host (module functions and module initialisation).
// Inside, a body returns a new reference or a HostError, or abandons the call with a fault;
// outside, the host sees only its own convention: a new reference, or null with the error
// indicator set. No C++ exception crosses into the host:
//   HostError        raised as the exception it carries;
//   Fault            raised as PanicException (already reported when it was raised);
//   std::bad_alloc   raised as the host's MemoryError;
//   anything else    reported like a fault, then raised as PanicException.

#include <exception>
#include <new>
#include <utility>

#include "base/fault.hpp"
#include "host/host_error.hpp"
#include "host/panic.hpp"

namespace tondra::host {

// Marks, for its lifetime, that this thread holds the host's lock (the host calls us only with
// it held). Marks nest: a user __float__ may call back into the module.
class LockMark {
 public:
  LockMark() noexcept;
  ~LockMark();
  LockMark(const LockMark&) = delete;
  LockMark& operator=(const LockMark&) = delete;
};

// True while the calling thread is inside one of our entries.
bool lock_held() noexcept;

// Turns an exception that is neither a Fault nor std::bad_alloc into a reported fault and a
// PanicException; `what` may be null.
void raise_foreign_exception(const char* what) noexcept;

// Runs `body` (returning HostResult<PyRef>) in the bracket described above. Inlined, so that the
// entry and its body share one frame: a module function re-entered from a user __float__ adds
// that frame once per level.
template <class Body>
[[gnu::always_inline]] inline PyObject* call_guarded(Body&& body) noexcept {
  const LockMark mark;
  try {
    HostResult<PyRef> outcome = std::forward<Body>(body)();
    if (outcome) return std::move(outcome).value().release();
    std::move(outcome).error().restore();
  } catch (const base::Fault& f) {
    raise_panic(f.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_foreign_exception(e.what());
  } catch (...) {
    raise_foreign_exception(nullptr);
  }
  return nullptr;
}

// A module function's body in the host's fast-call-with-keywords convention.
using FunctionBody = HostResult<PyRef> (*)(PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames);

inline PyObject* call_entry(FunctionBody body, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return call_guarded([=] { return body(args, nargs, kwnames); });
}

}  // namespace tondra::host
