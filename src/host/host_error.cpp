#include "host/host_error.hpp"

#include "host/text.hpp"

namespace tondra::host {

HostError HostError::captured(PyRef exception) noexcept {
  HostError error;
  error.exception_ = std::move(exception);
  return error;
}

HostError HostError::deferred(PyObject* type, std::string message) {
  HostError error;
  error.deferred_ = std::make_unique<Deferred>(Deferred{PyRef::borrow(type), std::move(message)});
  return error;
}

HostError HostError::none_was_set() {
  return deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
}

PyObject* HostError::type() const noexcept {
  if (exception_) return reinterpret_cast<PyObject*>(Py_TYPE(exception_.get()));
  return deferred_ ? deferred_->type.get() : nullptr;
}

void HostError::restore() && noexcept {
  if (exception_) {
    compat::set_raised_exception(exception_.release());
    return;
  }
  PyObject* const type = deferred_->type.get();
  if (!PyExceptionClass_Check(type)) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return;
  }
  const std::string& message = deferred_->message;
  const PyRef text = PyRef::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return;  // the host's own error (memory, bad UTF-8) is pending instead
  PyErr_SetObject(type, text.get());
}

PyRef HostError::into_exception() && noexcept {
  if (exception_) return std::move(exception_);
  std::move(*this).restore();
  return PyRef::steal(compat::get_raised_exception());
}

std::string debug_text(const HostError& error) {
  std::string value;
  if (error.exception()) {
    value = repr_text(error.exception());
  } else {
    value += '"';
    value += error.message();
    value += '"';
  }
  return "HostError { type: " + repr_text(error.type()) + ", value: " + value + " }";
}

PyRef expect_object(PyObject* object, base::SourcePos where) {
  if (object == nullptr) {
    PyErr_Print();
    // The host's own error has just been printed; this fixed text (unchanged since the first
    // release, like every fault text users may search for) only marks where we were.
    base::fault("Python API call failed", where);
  }
  return PyRef::steal(object);
}

}  // namespace tondra::host
