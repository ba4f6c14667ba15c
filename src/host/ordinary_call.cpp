#include "host/ordinary_call.hpp"

namespace tondra::host {

PyObject* raise_failure(const char* failure, const char* what) noexcept {
  PyErr_Format(PyExc_RuntimeError, "%s: %s", failure, what);
  return nullptr;
}

}  // namespace tondra::host
