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

// Reads x, y, z and the method's code of a call of `function`, then runs `fit` on them in the
// engine's bracket.
template <class Fit>
PyObject* space_call(PyObject* const* args, const Py_ssize_t nargs, const char* function,
                     const char* signature, Fit&& fit) {
  return engine_call([&]() -> PyObject* {
    if (!arity(nargs, {4}, signature)) return nullptr;
    CallArgs a(function, args);
    std::span<const double> x;
    std::span<const double> y;
    std::span<const double> z;
    long long method = 0;
    if (!a.plane(0, x, y) || !a.array(2, "z", z) ||
        !a.require(x.size() == y.size() && x.size() == z.size(), "x, y and z differ in length") ||
        !a.integer(3, "method", 0, 1, method)) {
      return nullptr;
    }
    return fit(SpacePoints{x, y, z}, method);
  });
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
  return space_call(args, nargs, "fit_sphere", "fit_sphere(x, y, z, method)",
                    [](const SpacePoints& points, const long long method) {
                      SphereFit fit;
                      run_released(points.size(), [&] {
                        fit = fit_sphere(points, static_cast<SphereMethod>(method));
                      });
                      return space_result(fit);
                    });
}

PyObject* fit_circle3d_entry(PyObject* /*module*/, PyObject* const* args, const Py_ssize_t nargs) {
  return space_call(args, nargs, "fit_circle3d", "fit_circle3d(x, y, z, method)",
                    [](const SpacePoints& points, const long long method) {
                      Circle3dFit fit;
                      run_released(points.size(), [&] {
                        std::vector<double> scratch;
                        fit = fit_circle3d(points, static_cast<Circle3dMethod>(method), scratch);
                      });
                      return space_result(fit);
                    });
}

}  // namespace tondra::kit
