#pragma once
// A single-phase extension module: one definition per process, its functions added by the
// initialiser in table order (each also listed in __all__), the module object made once and
// cached for the life of the process.
//
// The module keeps process-wide state (the cached module, the PanicException type) that would
// be shared between interpreters, so it belongs to the first interpreter that imports it; any
// other interpreter gets an ImportError.

#include <atomic>
#include <cstdint>
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
  HostResult<Unit> add_functions(PyObject* module);

  PyModuleDef def_;  // the host writes into its head, so it is not const
  std::span<PyMethodDef> functions_;
  std::atomic<std::int64_t> owner_interpreter_{-1};
  // An owned reference that is deliberately never released: there is no teardown.
  PyObject* module_ = nullptr;
};

}  // namespace tondra::host
