#include "engine/space_entry.hpp"

#include <array>
#include <vector>

#include "engine/engine_args.hpp"
#include "engine/engine_call.hpp"
#include "host/py_ref.hpp"
#include "kernel/circle3d.hpp"
#include "kernel/sphere.hpp"

namespace tondra::kit {
namespace {

using host::PyRef;

// x, y and z as one set of points, or nothing with an exception set.
bool space_args(BufferExport (&buffers)[3], PyObject* const* args, const char* function,
                SpacePoints& points) {
  const char* const names[3] = {"x", "y", "z"};
  std::span<const double> runs[3];
  for (int k = 0; k < 3; ++k) {
    const auto run = array_arg<double>(buffers[k], args[k], function, names[k]);
    if (!run) return false;
    runs[k] = *run;
  }
  if (runs[0].size() != runs[1].size() || runs[0].size() != runs[2].size()) {
    value_error(function, "x, y and z differ in length");
    return false;
  }
  points = {runs[0], runs[1], runs[2]};
  return true;
}

// The bytes of a covariance, one object for its 16 doubles.
PyRef cov_bytes(const std::array<double, 16>& cov) {
  return PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(cov.data()),
                                                sizeof(double) * cov.size()));
}

PyObject* space_result(const SphereFit& fit) {
  const PyRef cov = cov_bytes(fit.cov);
  if (!cov) return nullptr;
  return Py_BuildValue("(idddddOLLO)", static_cast<int>(fit.status), fit.centre[0], fit.centre[1],
                       fit.centre[2], fit.r, fit.rms, cov.get(), static_cast<long long>(fit.n),
                       static_cast<long long>(fit.iterations), fit.converged ? Py_True : Py_False);
}

PyObject* space_result(const Circle3dFit& fit) {
  const PyRef cov = cov_bytes(fit.cov);
  if (!cov) return nullptr;
  return Py_BuildValue("(iddddddddOLLOd)", static_cast<int>(fit.status), fit.centre[0],
                       fit.centre[1], fit.centre[2], fit.normal[0], fit.normal[1], fit.normal[2],
                       fit.r, fit.rms, cov.get(), static_cast<long long>(fit.n),
                       static_cast<long long>(fit.iterations), fit.converged ? Py_True : Py_False,
                       fit.arc);
}

}  // namespace

PyObject* fit_sphere_entry(PyObject* /*module*/, PyObject* const* args, const Py_ssize_t nargs) {
  if (nargs != 4) {
    PyErr_SetString(PyExc_TypeError, "fit_sphere(x, y, z, method)");
    return nullptr;
  }
  constexpr const char* kFunction = "fit_sphere";
  BufferExport buffers[3];
  SpacePoints points;
  if (!space_args(buffers, args, kFunction, points)) return nullptr;
  const auto method = int_arg(args[3], kFunction, "method", 0, 1);
  if (!method) return nullptr;
  return engine_call([&]() -> PyObject* {
    SphereFit fit;
    run_released(points.size(),
                 [&] { fit = fit_sphere(points, static_cast<SphereMethod>(*method)); });
    return space_result(fit);
  });
}

PyObject* fit_circle3d_entry(PyObject* /*module*/, PyObject* const* args, const Py_ssize_t nargs) {
  if (nargs != 4) {
    PyErr_SetString(PyExc_TypeError, "fit_circle3d(x, y, z, method)");
    return nullptr;
  }
  constexpr const char* kFunction = "fit_circle3d";
  BufferExport buffers[3];
  SpacePoints points;
  if (!space_args(buffers, args, kFunction, points)) return nullptr;
  const auto method = int_arg(args[3], kFunction, "method", 0, 1);
  if (!method) return nullptr;
  return engine_call([&]() -> PyObject* {
    Circle3dFit fit;
    run_released(points.size(), [&] {
      std::vector<double> scratch;
      fit = fit_circle3d(points, static_cast<Circle3dMethod>(*method), scratch);
    });
    return space_result(fit);
  });
}

}  // namespace tondra::kit
