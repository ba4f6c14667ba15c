// tondrakit._engine: the kit's private extension module. It converts what the kit hands it into
// coordinates of its own, lets go of the interpreter's lock while the fits run (on several
// threads for a batch) and hands back plain values. It raises only ordinary exceptions: every
// failure of a fit is a status in the results, which the kit words.
//
// Functions (all private to the kit, which checks every argument first):
//   fit_one(xs, ys, method[, weights, bounds])
//                            one set: a tuple of its results, or None when the points (or the
//                            weights: plain, not negative, 3 positive) are not plainly numbers
//                            (the kit then checks them and calls again); bounds (lo, hi) or None
//   fit_batch(x, y, offsets, method, workers, robust[, weights, bounds])
//                            many sets in flat float64 buffers: a tuple of bytearrays, one per
//                            result column, and the list of (set, message) pairs; weights one
//                            float64 per point or None, bounds (lo, hi) or None
//   residuals(x, y, cx, cy, r)  signed distances of points from a circle, as a bytearray
//   gather(x, y, codes, offsets, workers)  the points in group order, as two bytearrays
//   roundness(x, y, reference, cx, cy)  one reference circle of roundness (see roundness.hpp)
//   roundness_batch(x, y, offsets, reference, cx, cy, workers)
//                            one per set, on threads: a tuple of bytearrays, one per column
//   fit_sphere, ...          shapes in space (space_entry.hpp)

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/stop.hpp"
#include "engine/batch.hpp"
#include "engine/engine_args.hpp"
#include "engine/grouping.hpp"
#include "engine/roundness_batch.hpp"
#include "engine/space_entry.hpp"
#include "host/compat.hpp"
#include "host/py_ref.hpp"
#include "kernel/known_fit.hpp"
#include "kernel/residuals.hpp"
#include "kernel/robust.hpp"
#include "kernel/roundness.hpp"
#include "kernel/set_fit.hpp"

namespace tondra::kit {
namespace {

using host::PyRef;

// One set this large is fitted with the lock released: smaller ones take less time to fit
// than another thread would wait for the lock.
constexpr std::size_t kReleaseLockPoints = 1024;

// Whether finite weights (plain_coordinates checked that) are as the kit accepts them: one per
// point, none negative, at least 3 positive. Anything else is the kit's to word.
bool plain_weights(const std::vector<double>& w, std::size_t points) {
  if (w.size() != points) return false;
  std::size_t positive = 0;
  for (const double v : w) {
    if (v < 0.0) return false;
    positive += v > 0.0 ? 1 : 0;
  }
  return positive >= 3;
}

// The fields of fit_one's result, in order; the engine exports their names. cov is the 72 bytes
// of its nine doubles: one object, not ten, for a result that is mostly read for its centre and
// radius.
constexpr std::string_view kResultFields[] = {
    "status",       "detail", "cx",         "cy",        "r",   "rms",     "cov",
    "cov_exponent", "n",      "iterations", "converged", "arc", "message",
};

PyObject* result_tuple(const SetFit& fit) {
  PyObject* message = Py_None;
  PyRef text;
  if (!fit.message.empty()) {
    text = PyRef::steal(PyUnicode_DecodeUTF8(
        fit.message.data(), static_cast<Py_ssize_t>(fit.message.size()), "replace"));
    if (!text) return nullptr;
    message = text.get();
  }
  PyRef cov = PyRef::steal(PyBytes_FromStringAndSize(
      reinterpret_cast<const char*>(fit.stats.cov.data()), sizeof fit.stats.cov));
  if (!cov) return nullptr;
  return Py_BuildValue(
      "(iiddddOiLLOdO)", static_cast<int>(fit.status), static_cast<int>(fit.detail), fit.cx, fit.cy,
      fit.stats.r, fit.stats.rms, cov.get(), fit.stats.cov_exponent, static_cast<long long>(fit.n),
      static_cast<long long>(fit.iterations), fit.converged ? Py_True : Py_False, fit.arc, message);
}

// The most threads a batch asks for; more could not be started anyway.
constexpr long long kMaxWorkers = 1 << 16;

// Buffers of one thread's single fits, kept for its next: a fit of 20 points would otherwise
// spend a tenth of its time allocating them. A fit reached again from inside a conversion (a
// user's buffer export that calls the kit) gets buffers of its own, as does the rest of a
// thread's life after a set larger than kKeptPoints.
struct SingleFitBuffers {
  std::vector<double> x;
  std::vector<double> y;
  std::vector<double> w;
  Workspace work;
  bool in_use = false;
};
constexpr std::size_t kKeptPoints = std::size_t{1} << 14;
thread_local SingleFitBuffers t_buffers;

PyObject* fit_one(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3 && nargs != 5) {
    PyErr_SetString(PyExc_TypeError, "fit_one(xs, ys, method[, weights, bounds])");
    return nullptr;
  }
  Knowns knowns;
  if (nargs == 5 && args[4] != Py_None && !bounds_arg(args[4], "fit_one", knowns.bounds)) {
    return nullptr;
  }
  const std::optional<Method> method = method_arg(args[2], "fit_one");
  if (!method) return nullptr;
  try {
    SingleFitBuffers own;
    SingleFitBuffers& buffers = t_buffers.in_use ? own : t_buffers;
    buffers.in_use = true;
    struct Release {
      SingleFitBuffers& buffers;
      ~Release() {
        buffers.in_use = false;
        if (buffers.x.capacity() > kKeptPoints) buffers = SingleFitBuffers{};
      }
    } release{buffers};
    std::vector<double>& x = buffers.x;
    std::vector<double>& y = buffers.y;
    Workspace& work = buffers.work;
    if (!plain_coordinates(args[0], x) || !plain_coordinates(args[1], y) || x.size() != y.size() ||
        x.size() < 3) {
      Py_RETURN_NONE;
    }
    if (nargs == 5 && args[3] != Py_None) {
      if (!plain_coordinates(args[3], buffers.w) || !plain_weights(buffers.w, x.size())) {
        Py_RETURN_NONE;
      }
      knowns.weights = buffers.w;
    }
    SetFit fit;
    if (x.size() >= kReleaseLockPoints) {
      try {
        Unlocked unlocked;
        const base::ScopedStopCheck check(unlocked, kPollInterval);
        fit = fit_set_knowing(x, y, *method, knowns, work);
      } catch (const base::Stopped&) {
        return interrupted();
      }
    } else {
      fit = fit_set_knowing(x, y, *method, knowns, work);
    }
    return result_tuple(fit);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "the kit's engine failed: %s", e.what());
    return nullptr;
  }
}

// A fresh bytearray of `count` items of T, and its memory as a span.
template <class T>
PyObject* new_column(std::size_t count, std::span<T>& span) {
  PyObject* bytes =
      PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(T)));
  if (bytes == nullptr) return nullptr;
  span = std::span<T>(reinterpret_cast<T*>(PyByteArray_AS_STRING(bytes)), count);
  std::memset(span.data(), 0, count * sizeof(T));
  return bytes;
}

PyObject* fit_batch(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 6 && nargs != 8) {
    PyErr_SetString(PyExc_TypeError,
                    "fit_batch(x, y, offsets, method, workers, robust[, weights, bounds])");
    return nullptr;
  }
  constexpr const char* kFunction = "fit_batch";
  Buffer xb;
  Buffer yb;
  Buffer ob;
  const auto x = array_arg<double>(xb, args[0], kFunction, "x");
  if (!x) return nullptr;
  const auto y = array_arg<double>(yb, args[1], kFunction, "y");
  if (!y) return nullptr;
  const auto offsets = array_arg<std::int64_t>(ob, args[2], kFunction, "offsets");
  if (!offsets) return nullptr;
  const std::optional<Method> method = method_arg(args[3], kFunction);
  if (!method) return nullptr;
  const auto workers = int_arg(args[4], kFunction, "workers", 1, kMaxWorkers);
  if (!workers) return nullptr;
  if (x->size() != y->size()) return value_error(kFunction, "x and y differ in length");
  const std::string offsets_wrong = offsets_problem(*offsets, x->size());
  if (!offsets_wrong.empty()) return value_error(kFunction, offsets_wrong);
  RobustOptions robust;
  const bool is_robust = args[5] != Py_None;
  if (is_robust && !robust_options(args[5], *method, robust)) return nullptr;

  BatchInput in;
  in.x = *x;
  in.y = *y;
  in.offsets = *offsets;
  in.method = *method;
  in.robust = is_robust ? &robust : nullptr;
  Buffer wb;
  if (nargs == 8 && args[6] != Py_None && !weights_arg(wb, args[6], in.x.size(), in.weights)) {
    return nullptr;
  }
  if (nargs == 8 && args[7] != Py_None && !bounds_arg(args[7], kFunction, in.bounds))
    return nullptr;
  const std::size_t sets = in.offsets.empty() ? 0 : in.offsets.size() - 1;
  const std::size_t robust_sets = is_robust ? sets : 0;

  BatchOutput out;
  PyRef columns[15];
  columns[0] = PyRef::steal(new_column(sets, out.status));
  columns[1] = PyRef::steal(new_column(sets, out.detail));
  columns[2] = PyRef::steal(new_column(sets, out.cx));
  columns[3] = PyRef::steal(new_column(sets, out.cy));
  columns[4] = PyRef::steal(new_column(sets, out.r));
  columns[5] = PyRef::steal(new_column(sets, out.rms));
  columns[6] = PyRef::steal(new_column(9 * sets, out.cov));
  columns[7] = PyRef::steal(new_column(sets, out.cov_exponent));
  columns[8] = PyRef::steal(new_column(sets, out.n));
  columns[9] = PyRef::steal(new_column(sets, out.iterations));
  columns[10] = PyRef::steal(new_column(sets, out.converged));
  columns[11] = PyRef::steal(new_column(sets, out.arc));
  columns[12] = PyRef::steal(new_column(robust_sets, out.trials));
  columns[13] = PyRef::steal(new_column(robust_sets, out.threshold));
  columns[14] = PyRef::steal(new_column(is_robust ? in.x.size() : 0, out.inliers));
  for (const PyRef& column : columns) {
    if (!column) return nullptr;
  }
  const std::string problem = batch_problem(in, out);
  if (!problem.empty()) return value_error(kFunction, problem);

  bool finished = false;
  try {
    {
      Unlocked unlocked;
      finished = run_batch(in, out, static_cast<unsigned>(*workers),
                           [&unlocked] { return unlocked.keep_going(); });
    }
    if (!finished) return interrupted();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "the kit's engine failed: %s", e.what());
    return nullptr;
  }

  PyRef messages = PyRef::steal(PyList_New(0));
  if (!messages) return nullptr;
  for (const auto& [set, text] : out.messages) {
    PyRef pair = PyRef::steal(Py_BuildValue("(ns#)", static_cast<Py_ssize_t>(set), text.data(),
                                            static_cast<Py_ssize_t>(text.size())));
    if (!pair || PyList_Append(messages.get(), pair.get()) != 0) return nullptr;
  }
  PyRef result = PyRef::steal(PyTuple_New(16));
  if (!result) return nullptr;
  for (Py_ssize_t i = 0; i < 15; ++i) PyTuple_SET_ITEM(result.get(), i, columns[i].release());
  PyTuple_SET_ITEM(result.get(), 15, messages.release());
  return result.release();
}

PyObject* residuals(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 5) {
    PyErr_SetString(PyExc_TypeError, "residuals(x, y, cx, cy, r)");
    return nullptr;
  }
  constexpr const char* kFunction = "residuals";
  Buffer xb;
  Buffer yb;
  const auto x = array_arg<double>(xb, args[0], kFunction, "x");
  if (!x) return nullptr;
  const auto y = array_arg<double>(yb, args[1], kFunction, "y");
  if (!y) return nullptr;
  if (x->size() != y->size()) return value_error(kFunction, "x and y differ in length");
  double c[3];
  const char* const names[3] = {"cx", "cy", "r"};
  for (int i = 0; i < 3; ++i) {
    const auto value = float_arg(args[2 + i], kFunction, names[i]);
    if (!value) return nullptr;
    c[i] = *value;
  }
  std::span<double> out;
  PyRef column = PyRef::steal(new_column(x->size(), out));
  if (!column) return nullptr;
  circle_residuals(*x, *y, c[0], c[1], c[2], out);
  return column.release();
}

PyObject* gather(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 5) {
    PyErr_SetString(PyExc_TypeError, "gather(x, y, codes, offsets, workers)");
    return nullptr;
  }
  constexpr const char* kFunction = "gather";
  Buffer xb;
  Buffer yb;
  Buffer cb;
  Buffer ob;
  const auto x = array_arg<double>(xb, args[0], kFunction, "x");
  if (!x) return nullptr;
  const auto y = array_arg<double>(yb, args[1], kFunction, "y");
  if (!y) return nullptr;
  const auto codes = array_arg<std::int64_t>(cb, args[2], kFunction, "codes");
  if (!codes) return nullptr;
  const auto offsets = array_arg<std::int64_t>(ob, args[3], kFunction, "offsets");
  if (!offsets) return nullptr;
  const auto workers = int_arg(args[4], kFunction, "workers", 1, kMaxWorkers);
  if (!workers) return nullptr;
  if (x->size() != y->size() || codes->size() != x->size()) {
    return value_error(kFunction, "x, y and codes differ in length");
  }
  const std::string offsets_wrong = offsets_problem(*offsets, x->size());
  if (!offsets_wrong.empty()) return value_error(kFunction, offsets_wrong);
  const std::size_t n = x->size();
  std::span<double> gx;
  std::span<double> gy;
  PyRef x_out = PyRef::steal(new_column(n, gx));
  PyRef y_out = PyRef::steal(new_column(n, gy));
  if (!x_out || !y_out) return nullptr;
  try {
    // Read while the lock is held: the coordinates may be the caller's own arrays. A second
    // thread, if any, touches no Python object.
    if (!gather_groups(*x, *y, *codes, *offsets, gx, gy, *workers > 1)) {
      return value_error(kFunction, "a code lies outside the groups or its group is overfull");
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return PyTuple_Pack(2, x_out.get(), y_out.get());
}

// (status, shape, cx, cy, inner, outer, ront, support indices as a tuple)
PyObject* roundness_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 5) {
    PyErr_SetString(PyExc_TypeError, "roundness(x, y, reference, cx, cy)");
    return nullptr;
  }
  constexpr const char* kFunction = "roundness";
  Buffer xb;
  Buffer yb;
  const auto x = array_arg<double>(xb, args[0], kFunction, "x");
  if (!x) return nullptr;
  const auto y = array_arg<double>(yb, args[1], kFunction, "y");
  if (!y) return nullptr;
  if (x->size() != y->size()) return value_error(kFunction, "x and y differ in length");
  const auto code = int_arg(args[2], kFunction, "reference", 0, 3);
  if (!code) return nullptr;
  const auto cx = float_arg(args[3], kFunction, "cx");
  if (!cx) return nullptr;
  const auto cy = float_arg(args[4], kFunction, "cy");
  if (!cy) return nullptr;
  Roundness r;
  try {
    const auto reference = static_cast<Reference>(*code);
    if (x->size() >= kReleaseLockPoints) {
      try {
        Unlocked unlocked;
        const base::ScopedStopCheck check(unlocked, kPollInterval);
        r = roundness(*x, *y, reference, *cx, *cy);
      } catch (const base::Stopped&) {
        return interrupted();
      }
    } else {
      r = roundness(*x, *y, reference, *cx, *cy);
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "the kit's engine failed: %s", e.what());
    return nullptr;
  }
  PyRef support = PyRef::steal(PyTuple_New(r.supports));
  if (!support) return nullptr;
  for (int k = 0; k < r.supports; ++k) {
    PyObject* index = PyLong_FromLongLong(r.support[static_cast<std::size_t>(k)]);
    if (index == nullptr) return nullptr;
    PyTuple_SET_ITEM(support.get(), k, index);
  }
  return Py_BuildValue("(iidddddO)", static_cast<int>(r.status), static_cast<int>(r.shape), r.cx,
                       r.cy, r.inner, r.outer, r.ront, support.get());
}

PyObject* roundness_batch_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 7) {
    PyErr_SetString(PyExc_TypeError, "roundness_batch(x, y, offsets, reference, cx, cy, workers)");
    return nullptr;
  }
  constexpr const char* kFunction = "roundness_batch";
  Buffer xb;
  Buffer yb;
  Buffer ob;
  Buffer cxb;
  Buffer cyb;
  const auto x = array_arg<double>(xb, args[0], kFunction, "x");
  if (!x) return nullptr;
  const auto y = array_arg<double>(yb, args[1], kFunction, "y");
  if (!y) return nullptr;
  const auto offsets = array_arg<std::int64_t>(ob, args[2], kFunction, "offsets");
  if (!offsets) return nullptr;
  const auto code = int_arg(args[3], kFunction, "reference", 0, 3);
  if (!code) return nullptr;
  const auto cx = array_arg<double>(cxb, args[4], kFunction, "cx");
  if (!cx) return nullptr;
  const auto cy = array_arg<double>(cyb, args[5], kFunction, "cy");
  if (!cy) return nullptr;
  const auto workers = int_arg(args[6], kFunction, "workers", 1, kMaxWorkers);
  if (!workers) return nullptr;
  RoundnessBatchInput in{*x, *y, *offsets, static_cast<Reference>(*code), *cx, *cy};
  const std::size_t sets = in.offsets.empty() ? 0 : in.offsets.size() - 1;
  RoundnessBatchOutput out;
  PyRef columns[8];
  columns[0] = PyRef::steal(new_column(sets, out.status));
  columns[1] = PyRef::steal(new_column(sets, out.shape));
  columns[2] = PyRef::steal(new_column(sets, out.cx));
  columns[3] = PyRef::steal(new_column(sets, out.cy));
  columns[4] = PyRef::steal(new_column(sets, out.inner));
  columns[5] = PyRef::steal(new_column(sets, out.outer));
  columns[6] = PyRef::steal(new_column(sets, out.ront));
  columns[7] = PyRef::steal(new_column(4 * sets, out.support));
  for (const PyRef& column : columns) {
    if (!column) return nullptr;
  }
  const char* problem = roundness_batch_problem(in, out);
  if (problem[0] != '\0') {
    PyErr_Format(PyExc_ValueError, "roundness_batch: %s", problem);
    return nullptr;
  }
  bool finished = false;
  try {
    Unlocked unlocked;
    finished = run_roundness_batch(in, out, static_cast<unsigned>(*workers),
                                   [&unlocked] { return unlocked.keep_going(); });
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "the kit's engine failed: %s", e.what());
    return nullptr;
  }
  if (!finished) {
    if (PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  }
  PyRef result = PyRef::steal(PyTuple_New(8));
  if (!result) return nullptr;
  for (Py_ssize_t i = 0; i < 8; ++i) PyTuple_SET_ITEM(result.get(), i, columns[i].release());
  return result.release();
}

PyMethodDef kMethods[] = {
    {"fit_one", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit_one)), METH_FASTCALL,
     "fit_one(xs, ys, method[, weights, bounds]): one set, or None for the kit to check."},
    {"fit_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit_batch)),
     METH_FASTCALL,
     "fit_batch(x, y, offsets, method, workers, robust[, weights, bounds]): many sets."},
    {"residuals", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(residuals)),
     METH_FASTCALL, "residuals(x, y, cx, cy, r): signed distances from a circle."},
    {"gather", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gather)), METH_FASTCALL,
     "gather(x, y, codes, offsets, workers): the points in group order."},
    {"roundness", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(roundness_entry)),
     METH_FASTCALL, "roundness(x, y, reference, cx, cy): one reference circle of roundness."},
    {"roundness_batch",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(roundness_batch_entry)),
     METH_FASTCALL, "roundness_batch(x, y, offsets, reference, cx, cy, workers): one per set."},
    {"fit_sphere", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit_sphere_entry)),
     METH_FASTCALL, "fit_sphere(x, y, z, method): one sphere (see space_entry.hpp)."},
    {"fit_circle3d",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit_circle3d_entry)), METH_FASTCALL,
     "fit_circle3d(x, y, z, method): one circle in space (see space_entry.hpp)."},
    {nullptr, nullptr, 0, nullptr},
};

// A tuple of the names, as str.
template <class Names>
PyRef name_tuple(const Names& names) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(std::size(names))));
  if (!tuple) return tuple;
  Py_ssize_t i = 0;
  for (const std::string_view name : names) {
    PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (text == nullptr) return PyRef();
    PyTuple_SET_ITEM(tuple.get(), i++, text);
  }
  return tuple;
}

// The engine's tables, from which the kit takes its status words, method codes and result fields.
int add_tables(PyObject* module) {
  const std::pair<const char*, PyRef> tables[] = {
      {"STATUSES", name_tuple(kStatusNames)},
      {"METHODS", name_tuple(kMethodNames)},
      {"RESULT_FIELDS", name_tuple(kResultFields)},
  };
  for (const auto& [name, table] : tables) {
    if (!table || PyModule_AddObjectRef(module, name, table.get()) != 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_tables)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "tondrakit._engine",
    "The native engine of tondrakit (private).",
    0,
    kMethods,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tondra::kit

// The host looks the entry point up by this name, reserved identifier or not.
PyMODINIT_FUNC PyInit__engine() {  // NOLINT(bugprone-reserved-identifier)
  return PyModuleDef_Init(&tondra::kit::kModule);
}
