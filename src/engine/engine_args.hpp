#pragma once
// The arguments of the kit's engine (tondrakit._engine), read and checked. Only the engine's
// module and this unit see Python.
//
// Every argument is checked here, whatever the kit already checked: the kit's own call is one
// fault away from handing over lengths or offsets that would make the engine read or write out
// of bounds. A refused argument is a TypeError (wrong kind) or ValueError (wrong value) that
// names the function and the argument; every function returning nothing, or false, has set one.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "host/compat.hpp"
#include "kernel/knowns.hpp"
#include "kernel/method.hpp"
#include "kernel/robust.hpp"

namespace tondra::kit {

// Whether a buffer's items are native doubles (code 'd', size 8) / 64-bit integers, and whether
// they may be read in place as 8-byte numbers: the kit hands over aligned arrays only, but a
// buffer may start at any byte (pickle's out-of-band frames do).
bool is_format(const Py_buffer& view, char code, Py_ssize_t size);
bool is_int64_format(const Py_buffer& view);
bool is_aligned(const Py_buffer& view);

// A buffer the host lends us, held until we are done with it (which also keeps a numpy array or
// bytearray from being resized under us).
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  // Borrows `object`'s memory; false with an exception set when it has none.
  bool get(PyObject* object, int flags) {
    if (PyObject_GetBuffer(object, &view_, flags) != 0) return false;
    held_ = true;
    return true;
  }
  const Py_buffer& view() const { return view_; }

  // `object`'s items as T (double or std::int64_t) when it lends a one-axis, contiguous, aligned
  // run of them; nothing otherwise, with an exception set only when it lends no buffer at all.
  template <class T>
  std::optional<std::span<const T>> items(PyObject* object) {
    if (!get(object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return std::nullopt;
    const bool typed =
        std::is_same_v<T, double> ? is_format(view_, 'd', 8) : is_int64_format(view_);
    if (view_.ndim != 1 || !typed || !is_aligned(view_)) return std::nullopt;
    return std::span<const T>(static_cast<const T*>(view_.buf),
                              static_cast<std::size_t>(view_.shape[0]));
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// `object`'s items as T (double or std::int64_t): a one-axis, contiguous, aligned run of them.
template <class T>
std::optional<std::span<const T>> array_arg(Buffer& buffer, PyObject* object, const char* function,
                                            const char* name) {
  auto items = buffer.items<T>(object);
  if (!items) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s: %s must be an aligned, contiguous 1-D array of %s", function,
                 name, std::is_same_v<T, double> ? "float64" : "int64");
  }
  return items;
}

// An int argument in [low, high].
std::optional<long long> int_arg(PyObject* object, const char* function, const char* name,
                                 long long low, long long high);

// A float argument (an int is taken too).
std::optional<double> float_arg(PyObject* object, const char* function, const char* name);

// The method's code as a Method.
std::optional<Method> method_arg(PyObject* object, const char* function);

// Sets a ValueError "<function>: <problem>"; returns nullptr for the caller to return.
PyObject* value_error(const char* function, const std::string& problem);

// The coordinates of `object` when they are plainly finite numbers: a list or tuple of floats
// and ints, or a one-axis buffer of doubles. Anything else (text, objects, NaN, an integer too
// large for a double) is declined with false and no exception: the kit's own checks then find
// and name the culprit. A copy is taken, so that nothing the caller does later can change it.
bool plain_coordinates(PyObject* object, std::vector<double>& out);

// fit_batch's weights: one finite, non-negative float64 per point.
bool weights_arg(Buffer& buffer, PyObject* object, std::size_t points,
                 std::span<const double>& weights);

// Radius bounds, (lo, hi) with 0 <= lo <= hi, lo finite and hi > 0.
bool bounds_arg(PyObject* object, const char* function, RadiusBounds& bounds);

// fit_batch's robust settings, (threshold or None, confidence, max_trials, seed), checked.
bool robust_options(PyObject* settings, Method method, RobustOptions& options);

}  // namespace tondra::kit
