#pragma once
// The fault channel of the boundary, both ways. Out: the bracket around every call from the
// host turns a fault into a PanicException. Back in: a PanicException that user code let through
// (a __float__ that called us and faulted) is our fault returning, so every pending host error is
// taken through `take`, which resumes such a fault instead of treating it as an ordinary error.
// Above the host errors, below conversion, binding and the entry shim, which all build on it.
//
// PanicException: how an internal fault reaches the host. A fault has already been reported on
// fd 2 when it is raised (set TONDRA_BACKTRACE=1 in the environment for a backtrace with every
// report); at the entry shim it becomes a PanicException whose single argument is the fault's
// message. The type derives from BaseException, so `except Exception` lets it through, and it
// is deliberately absent from the module's namespace.
//
// The type calls itself "kelvar_runtime.PanicException". It is made when the module is first
// initialised in an interpreter and kept while that interpreter owns the module. If the host
// cannot make it for want of memory, the pending error is MemoryError rather than
// PanicException.
//
// It crosses process boundaries (process pools send a worker's exception back pickled), which
// takes two things, since pickle finds a class by its module and name:
// * Importing tondra registers a module "kelvar_runtime" in sys.modules holding the type (made
//   then), so the name the type gives itself resolves wherever tondra has been imported.
// * An instance pickles with its message as a call that first looks up one of tondra's own
//   functions (which imports tondra, and so registers the type) and only then the type:
//   functools.reduce(operator.call, (itemgetter(1), (tondra.fit_lsq, T), message)) is
//   T(message). A process that never imported tondra can therefore unpickle it too, without
//   tondra's namespace holding anything but its functions.

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "base/fault.hpp"
#include "host/host_error.hpp"
#include "host/py_ref.hpp"

namespace tondra::host {

// The PanicException type (borrowed: it lives as long as the module's owner). Made now if this
// is the first need. Throws std::bad_alloc if the host has no memory to make it; any other
// refusal is a fault.
PyObject* panic_type();

// Makes the type now and registers it as kelvar_runtime.PanicException in sys.modules, unless
// that module name is already taken (by us, from an earlier initialisation, or by someone else,
// who keeps it). Called by the module's initialisation, before it claims the module.
HostResult<base::Unit> publish_panic_type();

// Whether `type` is the PanicException type; never makes the type (nothing can be an instance
// of a type not made yet).
bool is_panic_type(PyObject* type) noexcept;

// Releases the type at the teardown of the interpreter that made it.
void release_panic_type() noexcept;

// Sets a PanicException carrying `message` as the host's pending error; MemoryError if memory
// runs out on the way. Any other fault raised on the way (the host refuses to make the type) is
// a fault while converting a fault: it is reported, then "uncaught panic at ffi boundary" is
// reported and the process aborts.
void raise_panic(const std::string& message) noexcept;

// Resumes the fault that `exception` (a PanicException fetched from the host) carries: announces
// it on fd 2, has the host print the exception with its traceback, then rethrows it as a fault
// with the exception's text without reporting it a second time.
[[noreturn]] void resume_panic(PyRef exception);

// Takes the host's pending error, if any. A pending PanicException is not an ordinary error: it
// is a fault of ours that travelled through user code, so it is resumed here (this does not
// return) and reaches the caller as the same fault.
std::optional<HostError> take();

// `take` for use right after a host call that reported failure: when the host left nothing
// pending, the SystemError "attempted to fetch exception but none was set" stands in.
HostError take_or_system_error();

// str(object) as text. If str() fails, that failure is taken as above (a panic is resumed) and
// otherwise reported as unraisable, and "<unprintable T object>" stands in ("<unprintable
// object>" without a type name).
std::string display_text(PyObject* object);

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

// Runs `body` (returning HostResult<PyRef>) and gives the host only its own convention: a new
// reference, or null with the error indicator set. No C++ exception crosses into the host:
//   HostError        raised as the exception it carries;
//   Fault            raised as PanicException (already reported when it was raised);
//   std::bad_alloc   raised as the host's MemoryError;
//   anything else    reported like a fault, then raised as PanicException.
template <class Body>
PyObject* call_guarded(Body&& body) noexcept {
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

}  // namespace tondra::host
