#pragma once
// The engine's entry points for many sets at once (tondrakit._engine), each run on threads with
// the interpreter's lock let go:
//   fit_batch(x, y, offsets, method, workers, robust[, weights, bounds])
//                            many sets in flat float64 buffers: a tuple of bytearrays, one per
//                            result column, and the list of (set, message) pairs; weights one
//                            float64 per point or None, bounds (lo, hi) or None
//   gather(x, y, codes, offsets, workers)  the points in group order, as two bytearrays
//   roundness_batch(x, y, offsets, reference, cx, cy, workers)
//                            one reference circle of roundness per set: a tuple of bytearrays,
//                            one per column

#include "host/compat.hpp"

namespace tondra::kit {

PyObject* fit_batch_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* gather_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* roundness_batch_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace tondra::kit
