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

// Whether `offsets` split `rows` rows into runs (see offsets_problem); else false with the
// ValueError naming what is wrong.
bool offsets_fit(const CallArgs& call, std::span<const std::int64_t> offsets, std::size_t rows) {
  const std::string problem = offsets_problem(offsets, rows);
  return call.require(problem.empty(), problem.c_str());
}

// The most threads a batch asks for; more could not be started anyway.
constexpr long long kMaxWorkers = 1 << 16;

// fit_batch's arguments, read and checked: the buffers stay held while the batch runs.
struct BatchArgs {
  explicit BatchArgs(PyObject* const* args) : call("fit_batch", args) {}
  CallArgs call;
  RobustOptions robust;
  BatchInput in;
  long long workers = 1;
};

// Reads fit_batch's arguments in their order; false with an exception set at the first refused.
bool read_batch_args(const Py_ssize_t nargs, BatchArgs& a) {
  CallArgs& call = a.call;
  BatchInput& in = a.in;
  if (!call.plane(0, in.x, in.y) || !call.array(2, "offsets", in.offsets) ||
      !call.method(3, in.method) || !call.integer(4, "workers", 1, kMaxWorkers, a.workers) ||
      !call.require(in.x.size() == in.y.size(), "x and y differ in length") ||
      !offsets_fit(call, in.offsets, in.x.size())) {
    return false;
  }
  PyObject* const robust = call.arg(5);
  if (robust != Py_None && !robust_options(robust, in.method, a.robust)) return false;
  in.robust = robust != Py_None ? &a.robust : nullptr;
  if (nargs == 8 && call.arg(6) != Py_None && !weights_arg(call, 6, in.x.size(), in.weights)) {
    return false;
  }
  return !(nargs == 8 && call.arg(7) != Py_None &&
           !bounds_arg(call.arg(7), "fit_batch", in.bounds));
}

// The batch's result columns, in the kit's order, lent to `out`; the robust ones are empty
// unless the batch is robust.
void add_batch_columns(Columns& columns, const BatchInput& in, BatchOutput& out) {
  const std::size_t sets = in.offsets.empty() ? 0 : in.offsets.size() - 1;
  const std::size_t robust_sets = in.robust != nullptr ? sets : 0;
  using O = BatchOutput;
  columns.add_each(sets, out, &O::status, &O::detail, &O::cx, &O::cy, &O::r, &O::rms);
  columns.add(9 * sets, out.cov);
  columns.add_each(sets, out, &O::cov_exponent, &O::n, &O::iterations, &O::converged, &O::arc);
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
    if (!arity(nargs, {6, 8},
               "fit_batch(x, y, offsets, method, workers, robust[, weights, bounds])")) {
      return nullptr;
    }
    BatchArgs a(args);
    if (!read_batch_args(nargs, a)) return nullptr;
    BatchOutput out;
    Columns columns(17);
    add_batch_columns(columns, a.in, out);
    if (!columns.ok()) return nullptr;
    const std::string problem = batch_problem(a.in, out);
    if (!a.call.require(problem.empty(), problem.c_str())) return nullptr;
    run_unlocked([&](const std::function<bool()>& keep_going) {
      return run_batch(a.in, out, static_cast<unsigned>(a.workers), keep_going);
    });
    PyRef messages = message_list(out);
    if (!messages) return nullptr;
    return columns.pack(std::move(messages));
  });
}

PyObject* gather_entry(PyObject* /*module*/, PyObject* const* args, const Py_ssize_t nargs) {
  return engine_call([&]() -> PyObject* {
    if (!arity(nargs, {5}, "gather(x, y, codes, offsets, workers)")) return nullptr;
    CallArgs a("gather", args);
    std::span<const double> x;
    std::span<const double> y;
    std::span<const std::int64_t> codes;
    std::span<const std::int64_t> offsets;
    long long workers = 1;
    if (!a.plane(0, x, y) || !a.array(2, "codes", codes) || !a.array(3, "offsets", offsets) ||
        !a.integer(4, "workers", 1, kMaxWorkers, workers) ||
        !a.require(x.size() == y.size() && codes.size() == x.size(),
                   "x, y and codes differ in length") ||
        !offsets_fit(a, offsets, x.size())) {
      return nullptr;
    }
    Columns columns(2);
    std::span<double> gx;
    std::span<double> gy;
    columns.add(x.size(), gx);
    columns.add(x.size(), gy);
    if (!columns.ok()) return nullptr;
    // Read while the lock is held: the coordinates may be the caller's own arrays. A second
    // thread, if any, touches no Python object.
    const bool gathered = gather_groups(x, y, codes, offsets, gx, gy, workers > 1);
    if (!a.require(gathered, "a code lies outside the groups or its group is overfull")) {
      return nullptr;
    }
    return columns.pack();
  });
}

PyObject* roundness_batch_entry(PyObject* /*module*/, PyObject* const* args,
                                const Py_ssize_t nargs) {
  return engine_call([&]() -> PyObject* {
    if (!arity(nargs, {7}, "roundness_batch(x, y, offsets, reference, cx, cy, workers)")) {
      return nullptr;
    }
    CallArgs a("roundness_batch", args);
    RoundnessBatchInput in;
    long long code = 0;
    long long workers = 1;
    if (!a.plane(0, in.x, in.y) || !a.array(2, "offsets", in.offsets) ||
        !a.integer(3, "reference", 0, 3, code) || !a.array(4, "cx", in.cx) ||
        !a.array(5, "cy", in.cy) || !a.integer(6, "workers", 1, kMaxWorkers, workers)) {
      return nullptr;
    }
    in.reference = static_cast<Reference>(code);
    const std::size_t sets = in.offsets.empty() ? 0 : in.offsets.size() - 1;
    RoundnessBatchOutput out;
    Columns columns(8);
    using O = RoundnessBatchOutput;
    columns.add_each(sets, out, &O::status, &O::shape, &O::cx, &O::cy, &O::inner, &O::outer,
                     &O::ront);
    columns.add(4 * sets, out.support);
    if (!columns.ok()) return nullptr;
    const char* problem = roundness_batch_problem(in, out);
    if (!a.require(problem[0] == '\0', problem)) return nullptr;
    run_unlocked([&](const std::function<bool()>& keep_going) {
      return run_roundness_batch(in, out, static_cast<unsigned>(workers), keep_going);
    });
    return columns.pack();
  });
}

}  // namespace tondra::kit
