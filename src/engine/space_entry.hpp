#pragma once
// The engine's entry points for shapes in space (tondrakit._engine), beside module.cpp's:
//   fit_sphere(x, y, z, method)   one sphere: (status, cx, cy, cz, r, rms, cov, n, iterations,
//                                 converged), cov the 128 bytes of its 16 doubles; method 0
//                                 geometric, 1 algebraic
//   fit_circle3d(x, y, z, method) one circle in space: (status, cx, cy, cz, nx, ny, nz, r, rms,
//                                 cov, n, iterations, converged, arc), cov as fit_sphere's;
//                                 method 0 projected, 1 geometric
// x, y and z are aligned, contiguous float64 arrays of one length (the kit converts them).

#include "host/compat.hpp"

namespace tondra::kit {

PyObject* fit_sphere_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* fit_circle3d_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace tondra::kit
