#pragma once
// PyRef: the owner of one strong reference to a host object. Every object we create or are
// handed as a new reference lives in one; a bare PyObject* in our code is borrowed, and says
// from whom. Owners are only touched with the host's lock held, so a release happens at once.

#include <utility>

#include "host/compat.hpp"

namespace tondra::host {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (null allowed: an empty owner).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Takes a reference of its own to a borrowed object.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    Py_XDECREF(old);  // last: a finaliser may run user code that looks at us
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller, who now owns it.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace tondra::host
