#pragma once
// A single-phase extension module: one definition per process, its functions added by the
// initialiser in table order (each also listed in __all__), the module object made once and
// cached for the life of the process.
//
// The module keeps process-wide state (the cached module, the PanicException type) that would
// be shared between interpreters, so it belongs to one interpreter at a time: the last one whose
// initialisation succeeded, for as long as that interpreter lives. Any other interpreter gets an
// ImportError meanwhile. A failed initialisation claims nothing, and an owner's teardown hands
// the module back, releasing its cached module there, in the interpreter it belongs to.
//
// Interpreters with their own GIL run our initialiser concurrently, so the owner and the cache
// change together under a mutex that is never held across a call into the host.

#include <cstdint>
#include <mutex>
#include <span>

#include "host/host_error.hpp"

namespace tondra::host {

class ModuleDef {
 public:
  // `functions` must outlive the process's use of the module: function objects keep pointers
  // to their records.
  constexpr ModuleDef(const char* name, const char* doc, std::span<PyMethodDef> functions) noexcept
      : def_{PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, nullptr, nullptr, nullptr, nullptr},
        functions_(functions) {}
  ModuleDef(const ModuleDef&) = delete;
  ModuleDef& operator=(const ModuleDef&) = delete;

  // The body of PyInit_NAME: a new reference to the module, or null with an exception set.
  PyObject* init() noexcept;

 private:
  HostResult<PyRef> make_module();
  HostResult<base::Unit> add_functions(PyObject* module);
  // Has the current interpreter hand the module back when it is torn down.
  HostResult<base::Unit> release_at_teardown();
  // Called at the teardown of interpreter `interpreter`.
  void release(std::int64_t interpreter) noexcept;
  static void release_capsule(PyObject* capsule) noexcept;

  PyModuleDef def_;  // the host writes into its head, so it is not const
  std::span<PyMethodDef> functions_;
  std::mutex mutex_;                     // guards the two fields below
  std::int64_t owner_interpreter_ = -1;  // -1: no owner
  // An owned reference, held for as long as the owner lives; it is released by the owner's own
  // teardown, since the object belongs to that interpreter.
  PyObject* module_ = nullptr;
};

}  // namespace tondra::host
