#pragma once
// The one place that knows which CPython we are built against. Everything else calls the
// helpers below, which map to the interpreter's own calls on 3.12 and later and rebuild the same
// behaviour from the older fetch/restore triple on 3.11.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000
#error "tondra needs CPython 3.11 or later"
#endif

namespace tondra::host::compat {

// Takes the pending exception out of the error indicator: a new reference to a normalised
// exception object with its traceback attached, or null (and nothing set) if none is pending.
inline PyObject* get_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

// Makes `exception` (a reference this call steals; null clears the indicator) the pending
// exception, with the traceback it carries.
inline void set_raised_exception(PyObject* exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  if (exception == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
  PyObject* traceback = PyException_GetTraceback(exception);
  PyErr_Restore(type, exception, traceback);
#endif
}

}  // namespace tondra::host::compat
