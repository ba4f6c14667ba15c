#include "engine/engine_args.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "base/coordinate_view.hpp"
#include "base/fault.hpp"

namespace tondra::kit {
namespace {

// An int argument in [low, high].
std::optional<long long> int_arg(PyObject* object, const char* function, const char* name,
                                 long long low, long long high) {
  if (!PyLong_Check(object) || PyBool_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s: %s must be an int, not %.100s", function, name,
                 Py_TYPE(object)->tp_name);
    return std::nullopt;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (value == -1 && PyErr_Occurred() != nullptr) return std::nullopt;
  if (overflow != 0 || value < low || value > high) {
    PyErr_Format(PyExc_ValueError, "%s: %s must lie in [%lld, %lld]", function, name, low, high);
    return std::nullopt;
  }
  return value;
}

// A float argument (an int is taken too).
std::optional<double> float_arg(PyObject* object, const char* function, const char* name) {
  if (!PyFloat_Check(object) && !(PyLong_Check(object) && !PyBool_Check(object))) {
    PyErr_Format(PyExc_TypeError, "%s: %s must be a float, not %.100s", function, name,
                 Py_TYPE(object)->tp_name);
    return std::nullopt;
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s: %s is too large for a float", function, name);
    return std::nullopt;
  }
  return value;
}

}  // namespace

bool plain_coordinates(PyObject* object, std::vector<double>& out) {
  out.clear();
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(object);
    PyObject** items = PySequence_Fast_ITEMS(object);
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = items[i];  // borrowed from the list, read before anything can run
      double value = 0.0;
      if (PyFloat_Check(item)) {
        value = PyFloat_AS_DOUBLE(item);
      } else if (PyLong_Check(item)) {
        value = PyLong_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred() != nullptr) {
          PyErr_Clear();
          return false;
        }
      } else {
        return false;
      }
      if (!std::isfinite(value)) return false;
      out.push_back(value);
    }
    return true;
  }
  // An exact float64 array is read from its header, which costs less than an export.
  if (const std::optional<base::CoordinateView> doubles = host::numpy_doubles(object)) {
    out.resize(doubles->size());
    for (std::size_t i = 0; i < out.size(); ++i) {
      out[i] = (*doubles)[i];
      if (!std::isfinite(out[i])) return false;
    }
    return true;
  }
  if (!PyObject_CheckBuffer(object)) return false;
  BufferExport held;
  if (!held.acquire(object, PyBUF_STRIDES | PyBUF_FORMAT)) {
    PyErr_Clear();
    return false;
  }
  const Py_buffer& view = held.view();
  if (view.ndim != 1 || !host::is_format(view, 'd', 8)) return false;
  const auto n = static_cast<std::size_t>(view.shape[0]);
  out.resize(n);
  const auto* first = static_cast<const char*>(view.buf);
  for (std::size_t i = 0; i < n; ++i) {
    std::memcpy(&out[i], first + static_cast<Py_ssize_t>(i) * view.strides[0], sizeof(double));
    if (!std::isfinite(out[i])) return false;
  }
  return true;
}

std::optional<Method> method_arg(PyObject* object, const char* function) {
  const auto code = int_arg(object, function, "method", 0, kMethodCount - 1);
  if (!code) return std::nullopt;
  return static_cast<Method>(*code);
}

bool weights_arg(CallArgs& call, const Py_ssize_t i, const std::size_t points,
                 std::span<const double>& weights) {
  std::span<const double> given;
  if (!call.array(i, "weights", given) ||
      !call.require(given.size() == points, "weights and x differ in length")) {
    return false;
  }
  const bool plain = std::all_of(given.begin(), given.end(),
                                 [](const double w) { return std::isfinite(w) && w >= 0.0; });
  if (!call.require(plain, "weights must be finite and not negative")) return false;
  weights = given;
  return true;
}

bool bounds_arg(PyObject* object, const char* function, RadiusBounds& bounds) {
  if (!PyTuple_Check(object) || PyTuple_GET_SIZE(object) != 2) {
    PyErr_Format(PyExc_TypeError, "%s: bounds must be None or (lo, hi)", function);
    return false;
  }
  const auto lo = float_arg(PyTuple_GET_ITEM(object, 0), function, "the lower bound");
  if (!lo) return false;
  const auto hi = float_arg(PyTuple_GET_ITEM(object, 1), function, "the upper bound");
  if (!hi) return false;
  if (!(std::isfinite(*lo) && *lo >= 0.0 && *lo <= *hi && *hi > 0.0)) {
    PyErr_Format(PyExc_ValueError, "%s: bounds must satisfy 0 <= lo <= hi, hi > 0", function);
    return false;
  }
  bounds.lo = *lo;
  bounds.hi = *hi;
  return true;
}

bool robust_options(PyObject* settings, Method method, RobustOptions& options) {
  constexpr const char* kFunction = "fit_batch";
  if (!PyTuple_Check(settings) || PyTuple_GET_SIZE(settings) != 4) {
    PyErr_SetString(PyExc_TypeError,
                    "fit_batch: robust must be None or (threshold, confidence, max_trials, seed)");
    return false;
  }
  PyObject* const* item = &PyTuple_GET_ITEM(settings, 0);
  options.method = method;
  if (item[0] != Py_None) {
    const auto t = float_arg(item[0], kFunction, "the threshold");
    if (!t) return false;
    if (!(std::isfinite(*t) && *t > 0.0)) {
      PyErr_SetString(PyExc_ValueError, "fit_batch: the threshold must be positive and finite");
      return false;
    }
    options.threshold = t;
  }
  const auto confidence = float_arg(item[1], kFunction, "the confidence");
  if (!confidence) return false;
  if (!(*confidence > 0.0 && *confidence < 1.0)) {
    PyErr_SetString(PyExc_ValueError, "fit_batch: the confidence must lie in (0, 1)");
    return false;
  }
  const auto max_trials =
      int_arg(item[2], kFunction, "max_trials", 1, std::numeric_limits<std::int64_t>::max());
  if (!max_trials) return false;
  if (!PyLong_Check(item[3]) || PyBool_Check(item[3])) {
    PyErr_SetString(PyExc_TypeError, "fit_batch: the seed must be an int");
    return false;
  }
  const unsigned long long seed = PyLong_AsUnsignedLongLong(item[3]);
  if (seed == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "fit_batch: the seed must lie in [0, 2**64)");
    return false;
  }
  options.confidence = *confidence;
  options.max_trials = *max_trials;
  options.seed = seed;
  return true;
}

bool arity(const Py_ssize_t nargs, const std::initializer_list<Py_ssize_t> counts,
           const char* signature) {
  for (const Py_ssize_t count : counts) {
    if (nargs == count) return true;
  }
  PyErr_SetString(PyExc_TypeError, signature);
  return false;
}

bool CallArgs::integer(const Py_ssize_t i, const char* name, const long long low,
                       const long long high, long long& out) {
  const auto value = int_arg(args_[i], function_, name, low, high);
  if (value) out = *value;
  return value.has_value();
}

bool CallArgs::real(const Py_ssize_t i, const char* name, double& out) {
  const auto value = float_arg(args_[i], function_, name);
  if (value) out = *value;
  return value.has_value();
}

bool CallArgs::method(const Py_ssize_t i, Method& out) {
  const auto value = method_arg(args_[i], function_);
  if (value) out = *value;
  return value.has_value();
}

bool CallArgs::require(const bool holds, const char* problem) const {
  if (!holds) PyErr_Format(PyExc_ValueError, "%s: %s", function_, problem);
  return holds;
}

bool CallArgs::too_many_arrays() const {
  base::fault(std::string(function_) + ": more arrays than a call holds");
}

}  // namespace tondra::kit
