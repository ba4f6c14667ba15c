#pragma once
// The bracket of a module that promises its callers ordinary exceptions only (the kit's engine),
// where the native module's bracket (call_guarded) raises PanicException. Runs `body`, which
// returns a new reference or null with the host's error indicator set, and lets no C++
// exception cross into the host:
//   base::Stopped    the exception a signal's handler left pending (see unlocked.hpp);
//   std::bad_alloc   MemoryError;
//   anything else    RuntimeError "<failure>: <what>" ("unexpected C++ exception" for a `what`
//                    that is not a std::exception's).

#include <exception>
#include <new>
#include <utility>

#include "base/stop.hpp"
#include "host/compat.hpp"
#include "host/unlocked.hpp"

namespace tondra::host {

// Sets the RuntimeError "<failure>: <what>"; returns null.
PyObject* raise_failure(const char* failure, const char* what) noexcept;

template <class Body>
PyObject* call_ordinary(const char* failure, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const base::Stopped&) {
    return interrupted();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_failure(failure, e.what());
  } catch (...) {
    return raise_failure(failure, "unexpected C++ exception");
  }
}

}  // namespace tondra::host
