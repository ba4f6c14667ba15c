#pragma once
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

#include <string>

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

}  // namespace tondra::host
