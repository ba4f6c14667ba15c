#pragma once
// The engine's entry points for one set of points in the plane (tondrakit._engine):
//   fit_one(xs, ys, method[, weights, bounds])
//                            one set: a tuple of its results (kResultFields), or None when the
//                            points (or the weights: plain, not negative, 3 positive) are not
//                            plainly numbers (the kit then checks them and calls again); bounds
//                            (lo, hi) or None
//   residuals(x, y, cx, cy, r)  signed distances of points from a circle, as a bytearray
//   roundness(x, y, reference, cx, cy)  one reference circle of roundness (see roundness.hpp):
//                            (status, shape, cx, cy, inner, outer, ront, support indices)
// A large set is worked on with the interpreter's lock let go.

#include <string_view>

#include "host/compat.hpp"

namespace tondra::kit {

// The fields of fit_one's result, in order; the engine exports their names. cov is the 72 bytes
// of its nine doubles: one object, not ten, for a result that is mostly read for its centre and
// radius.
inline constexpr std::string_view kResultFields[] = {
    "status",       "detail", "cx",         "cy",        "r",   "rms",     "cov",
    "cov_exponent", "n",      "iterations", "converged", "arc", "message", "termination",
};

PyObject* fit_one_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* residuals_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* roundness_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace tondra::kit
