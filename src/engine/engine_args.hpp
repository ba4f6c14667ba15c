#pragma once
// The arguments of the kit's engine (tondrakit._engine), read and checked for its entry points,
// on the host's buffer reader.
//
// Every argument is checked here, whatever the kit already checked: the kit's own call is one
// fault away from handing over lengths or offsets that would make the engine read or write out
// of bounds. A refused argument is a TypeError (wrong kind) or ValueError (wrong value) that
// names the function and the argument; every function returning nothing, or false, has set one.

#include <array>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "host/buffer_read.hpp"
#include "host/compat.hpp"
#include "kernel/knowns.hpp"
#include "kernel/method.hpp"
#include "kernel/robust.hpp"

namespace tondra::kit {

// A buffer the host lends us, held until we are done with it.
using host::BufferExport;

// `object`'s items as T (double or std::int64_t): a one-axis, contiguous, aligned run of them,
// held by `held` (which holds nothing on entry).
template <class T>
std::optional<std::span<const T>> array_arg(BufferExport& held, PyObject* object,
                                            const char* function, const char* name) {
  auto items = host::aligned_items<T>(held, object);
  if (!items) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s: %s must be an aligned, contiguous 1-D array of %s", function,
                 name, std::is_same_v<T, double> ? "float64" : "int64");
  }
  return items;
}

// The method's code as a Method.
std::optional<Method> method_arg(PyObject* object, const char* function);

// The coordinates of `object` when they are plainly finite numbers: a list or tuple of floats
// and ints, or a one-axis buffer of doubles. Anything else (text, objects, NaN, an integer too
// large for a double) is declined with false and no exception: the kit's own checks then find
// and name the culprit. A copy is taken, so that nothing the caller does later can change it.
bool plain_coordinates(PyObject* object, std::vector<double>& out);

// Radius bounds, (lo, hi) with 0 <= lo <= hi, lo finite and hi > 0.
bool bounds_arg(PyObject* object, const char* function, RadiusBounds& bounds);

// fit_batch's robust settings, (threshold or None, confidence, max_trials, seed), checked.
bool robust_options(PyObject* settings, Method method, RobustOptions& options);

// False with the TypeError "<signature>" unless `nargs` is one of `counts`.
bool arity(Py_ssize_t nargs, std::initializer_list<Py_ssize_t> counts, const char* signature);

// The arguments of one call of `function`, read one by one in the entry point's order: each
// reader stores the argument at `i` in `out` and returns true, or returns false with the
// exception set. The buffers that arrays lend are held until this goes.
class CallArgs {
 public:
  CallArgs(const char* function, PyObject* const* args) noexcept
      : function_(function), args_(args) {}
  CallArgs(const CallArgs&) = delete;
  CallArgs& operator=(const CallArgs&) = delete;

  const char* function() const noexcept { return function_; }
  PyObject* arg(Py_ssize_t i) const noexcept { return args_[i]; }

  // A one-axis, contiguous, aligned float64 (int64) array.
  template <class T>
  bool array(Py_ssize_t i, const char* name, std::span<const T>& out) {
    if (used_ == held_.size()) return too_many_arrays();
    const auto items = array_arg<T>(held_[used_++], args_[i], function_, name);
    if (items) out = *items;
    return items.has_value();
  }
  // x and y at i and i + 1, arrays as above.
  bool plane(Py_ssize_t i, std::span<const double>& x, std::span<const double>& y) {
    return array(i, "x", x) && array(i + 1, "y", y);
  }
  // The same, and of one length.
  bool points(Py_ssize_t i, std::span<const double>& x, std::span<const double>& y) {
    return plane(i, x, y) && require(x.size() == y.size(), "x and y differ in length");
  }
  // An int in [low, high]; a float (an int taken too); a method's code.
  bool integer(Py_ssize_t i, const char* name, long long low, long long high, long long& out);
  bool real(Py_ssize_t i, const char* name, double& out);
  bool method(Py_ssize_t i, Method& out);
  // True when `holds`; else false with the ValueError "<function>: <problem>".
  bool require(bool holds, const char* problem) const;

 private:
  [[noreturn]] bool too_many_arrays() const;

  const char* function_;
  PyObject* const* args_;
  std::array<BufferExport, 5> held_;
  std::size_t used_ = 0;
};

// fit_batch's weights, argument i: one finite, non-negative float64 per point.
bool weights_arg(CallArgs& call, Py_ssize_t i, std::size_t points,
                 std::span<const double>& weights);

}  // namespace tondra::kit
