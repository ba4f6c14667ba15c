#include "engine/batch_entry.hpp"

#include <cstdint>
#include <optional>
#include <string>

#include "engine/batch.hpp"
#include "engine/columns.hpp"
#include "engine/engine_args.hpp"
#include "engine/engine_call.hpp"
#include "engine/grouping.hpp"
#include "engine/roundness_batch.hpp"
#include "host/py_ref.hpp"

namespace tondra::kit {
namespace {

using host::PyRef;

// The most threads a batch asks for; more could not be started anyway.
constexpr long long kMaxWorkers = 1 << 16;

// fit_batch's arguments, read and checked: the buffers stay held while the batch runs.
struct BatchArgs {
  BufferExport x;
  BufferExport y;
  BufferExport offsets;
  BufferExport weights;
  RobustOptions robust;
  BatchInput in;
  unsigned workers = 1;
};

// Reads fit_batch's arguments in their order; false with an exception set at the first refused.
bool read_batch_args(PyObject* const* args, const Py_ssize_t nargs, BatchArgs& a) {
  constexpr const char* kFunction = "fit_batch";
  if (nargs != 6 && nargs != 8) {
    PyErr_SetString(PyExc_TypeError,
                    "fit_batch(x, y, offsets, method, workers, robust[, weights, bounds])");
    return false;
  }
  const auto x = array_arg<double>(a.x, args[0], kFunction, "x");
  if (!x) return false;
  const auto y = array_arg<double>(a.y, args[1], kFunction, "y");
  if (!y) return false;
  const auto offsets = array_arg<std::int64_t>(a.offsets, args[2], kFunction, "offsets");
  if (!offsets) return false;
  const std::optional<Method> method = method_arg(args[3], kFunction);
  if (!method) return false;
  const auto workers = int_arg(args[4], kFunction, "workers", 1, kMaxWorkers);
  if (!workers) return false;
  if (x->size() != y->size()) {
    value_error(kFunction, "x and y differ in length");
    return false;
  }
  const std::string offsets_wrong = offsets_problem(*offsets, x->size());
  if (!offsets_wrong.empty()) {
    value_error(kFunction, offsets_wrong);
    return false;
  }
  const bool is_robust = args[5] != Py_None;
  if (is_robust && !robust_options(args[5], *method, a.robust)) return false;
  a.in.x = *x;
  a.in.y = *y;
  a.in.offsets = *offsets;
  a.in.method = *method;
  a.in.robust = is_robust ? &a.robust : nullptr;
  a.workers = static_cast<unsigned>(*workers);
  if (nargs == 8 && args[6] != Py_None &&
      !weights_arg(a.weights, args[6], a.in.x.size(), a.in.weights)) {
    return false;
  }
  return !(nargs == 8 && args[7] != Py_None && !bounds_arg(args[7], kFunction, a.in.bounds));
}

// The batch's result columns, in the kit's order, lent to `out`; the robust ones are empty
// unless the batch is robust.
void add_batch_columns(Columns& columns, const BatchInput& in, BatchOutput& out) {
  const std::size_t sets = in.offsets.empty() ? 0 : in.offsets.size() - 1;
  const std::size_t robust_sets = in.robust != nullptr ? sets : 0;
  columns.add(sets, out.status);
  columns.add(sets, out.detail);
  columns.add(sets, out.cx);
  columns.add(sets, out.cy);
  columns.add(sets, out.r);
  columns.add(sets, out.rms);
  columns.add(9 * sets, out.cov);
  columns.add(sets, out.cov_exponent);
  columns.add(sets, out.n);
  columns.add(sets, out.iterations);
  columns.add(sets, out.converged);
  columns.add(sets, out.arc);
  columns.add(robust_sets, out.trials);
  columns.add(robust_sets, out.threshold);
  columns.add(in.robust != nullptr ? in.x.size() : 0, out.inliers);
  columns.add(sets, out.termination);
}

// The sets' messages as a list of (set, message) pairs; null with an error pending.
PyRef message_list(const BatchOutput& out) {
  PyRef messages = PyRef::steal(PyList_New(0));
  if (!messages) return messages;
  for (const auto& [set, text] : out.messages) {
    const PyRef pair = PyRef::steal(Py_BuildValue(
        "(ns#)", static_cast<Py_ssize_t>(set), text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!pair || PyList_Append(messages.get(), pair.get()) != 0) return PyRef();
  }
  return messages;
}

}  // namespace

PyObject* fit_batch_entry(PyObject* /*module*/, PyObject* const* args, const Py_ssize_t nargs) {
  return engine_call([&]() -> PyObject* {
    BatchArgs a;
    if (!read_batch_args(args, nargs, a)) return nullptr;
    BatchOutput out;
    Columns columns(17);
    add_batch_columns(columns, a.in, out);
    if (!columns.ok()) return nullptr;
    const std::string problem = batch_problem(a.in, out);
    if (!problem.empty()) return value_error("fit_batch", problem);
    run_unlocked([&](const std::function<bool()>& keep_going) {
      return run_batch(a.in, out, a.workers, keep_going);
    });
    PyRef messages = message_list(out);
    if (!messages) return nullptr;
    return columns.pack(std::move(messages));
  });
}

PyObject* gather_entry(PyObject* /*module*/, PyObject* const* args, const Py_ssize_t nargs) {
  if (nargs != 5) {
    PyErr_SetString(PyExc_TypeError, "gather(x, y, codes, offsets, workers)");
    return nullptr;
  }
  constexpr const char* kFunction = "gather";
  BufferExport xb;
  BufferExport yb;
  BufferExport cb;
  BufferExport ob;
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
  return engine_call([&]() -> PyObject* {
    Columns columns(2);
    std::span<double> gx;
    std::span<double> gy;
    columns.add(x->size(), gx);
    columns.add(x->size(), gy);
    if (!columns.ok()) return nullptr;
    // Read while the lock is held: the coordinates may be the caller's own arrays. A second
    // thread, if any, touches no Python object.
    if (!gather_groups(*x, *y, *codes, *offsets, gx, gy, *workers > 1)) {
      return value_error(kFunction, "a code lies outside the groups or its group is overfull");
    }
    return columns.pack();
  });
}

PyObject* roundness_batch_entry(PyObject* /*module*/, PyObject* const* args,
                                const Py_ssize_t nargs) {
  if (nargs != 7) {
    PyErr_SetString(PyExc_TypeError, "roundness_batch(x, y, offsets, reference, cx, cy, workers)");
    return nullptr;
  }
  constexpr const char* kFunction = "roundness_batch";
  BufferExport xb;
  BufferExport yb;
  BufferExport ob;
  BufferExport cxb;
  BufferExport cyb;
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
  return engine_call([&]() -> PyObject* {
    const RoundnessBatchInput in{*x, *y, *offsets, static_cast<Reference>(*code), *cx, *cy};
    const std::size_t sets = in.offsets.empty() ? 0 : in.offsets.size() - 1;
    RoundnessBatchOutput out;
    Columns columns(8);
    columns.add(sets, out.status);
    columns.add(sets, out.shape);
    columns.add(sets, out.cx);
    columns.add(sets, out.cy);
    columns.add(sets, out.inner);
    columns.add(sets, out.outer);
    columns.add(sets, out.ront);
    columns.add(4 * sets, out.support);
    if (!columns.ok()) return nullptr;
    const char* problem = roundness_batch_problem(in, out);
    if (problem[0] != '\0') return value_error(kFunction, problem);
    run_unlocked([&](const std::function<bool()>& keep_going) {
      return run_roundness_batch(in, out, static_cast<unsigned>(*workers), keep_going);
    });
    return columns.pack();
  });
}

}  // namespace tondra::kit
