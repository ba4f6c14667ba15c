#pragma once
// The entry shim of the module's functions: the top of the host layer. It refuses a call when
// the thread's C stack is nearly used up, then runs the function's body in the guarded bracket
// (a new reference, or null with the host's error indicator set; no C++ exception crosses).
//
// The stack check is what makes unbounded re-entry safe. A user __float__ or __iter__ may call
// the module again, recursively; the host's recursion limit stops that only if every level is
// small enough for the stack, which depends on the compiler, its optimisation level and the
// sanitizers, and on how high the user set the limit. Refusing with RecursionError while enough
// stack is left for one more level holds in every build.

#include "host/host_error.hpp"
#include "host/panic.hpp"

namespace tondra::host {

// Sets RecursionError and returns true when the calling thread has too little C stack left to
// run a module function (one that may be re-entered from user code) to its end.
bool refuse_for_lack_of_stack() noexcept;

// A module function's body in the host's fast-call-with-keywords convention.
using FunctionBody = HostResult<PyRef> (*)(PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames);

inline PyObject* call_entry(FunctionBody body, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  if (refuse_for_lack_of_stack()) return nullptr;
  return call_guarded([=] { return body(args, nargs, kwnames); });
}

}  // namespace tondra::host
