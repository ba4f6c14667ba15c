#pragma once
// HostError: an ordinary host exception carried back to the entry shim as a value, so that bad
// arguments and failing host calls never unwind through our frames. It has two forms:
//   captured  an exception object the host raised, taken out of its error indicator;
//   deferred  an exception type and a message; the objects are made only when it is raised,
//             with `args` a one-element tuple holding the message.
// Dropping a HostError releases what it holds; raising it (`restore`) consumes it.
//
// It is two pointers wide (the deferred form lives on the heap), so the results that carry it
// through every frame of a conversion stay cheap to return.
//
// Taking an error out of the host's indicator is not here but with the panics: a pending error
// may be a fault of ours coming back, which only that layer knows how to resume.

#include <memory>
#include <string>
#include <string_view>

#include "base/result.hpp"
#include "host/py_ref.hpp"

namespace tondra::host {

class HostError {
 public:
  // `exception` is a normalised exception object (not null).
  static HostError captured(PyRef exception) noexcept;
  // `type` is borrowed; the error keeps a reference of its own.
  static HostError deferred(PyObject* type, std::string message);
  static HostError type_error(std::string message) {
    return deferred(PyExc_TypeError, std::move(message));
  }
  // What a host call that reported failure without setting an error amounts to.
  static HostError none_was_set();

  // The exception's type (borrowed from this error).
  PyObject* type() const noexcept;
  // True when the exception's type is `type` itself (a subclass does not count).
  bool is_exactly(PyObject* type) const noexcept { return this->type() == type; }

  // Puts the error into the host's error indicator. A deferred type that is not an exception
  // class raises TypeError "exceptions must derive from BaseException" instead.
  void restore() && noexcept;

  // The exception object itself: a deferred error is made by raising it and taking it back,
  // exactly as the host would have made it.
  PyRef into_exception() && noexcept;

  // For the captured form: the exception object (borrowed from this error); null if deferred.
  PyObject* exception() const noexcept { return exception_.get(); }
  // For the deferred form: its message text; empty if captured.
  std::string_view message() const noexcept {
    return deferred_ ? std::string_view(deferred_->message) : std::string_view();
  }

 private:
  struct Deferred {
    PyRef type;
    std::string message;
  };
  HostError() = default;
  PyRef exception_;                     // captured form
  std::unique_ptr<Deferred> deferred_;  // deferred form
};

template <class T>
using HostResult = base::Result<T, HostError>;

// "HostError { type: ..., value: ... }", for faults that unwrap a HostError.
std::string debug_text(const HostError& error);

// For host calls whose failure we cannot use (allocation of a result): a null `object` has the
// host print its pending error and then faults with "Python API call failed" at `where`.
PyRef expect_object(PyObject* object, base::SourcePos where = base::SourcePos::here());

}  // namespace tondra::host
