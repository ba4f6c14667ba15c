// The tondra extension module: its function table and the three function bodies. Each body
// binds its arguments, converts xs, then ys (then method), runs the fit and returns the centre
// as a new list [cx, cy]; the entry shim turns errors and faults into host exceptions.

#include <array>
#include <string_view>
#include <utility>

#include "fits/circle_fit.hpp"
#include "host/binding.hpp"
#include "host/conversion.hpp"
#include "host/entry.hpp"
#include "host/module_def.hpp"

namespace tondra {
namespace {

using host::HostResult;
using host::PyRef;

constexpr std::array<std::string_view, 2> kPointParameters{"xs", "ys"};
constexpr std::array<std::string_view, 3> kLsqParameters{"xs", "ys", "method"};

constexpr host::FunctionDescription kTaubinSvd{"taubin_svd", kPointParameters, 2};
constexpr host::FunctionDescription kFitGeometrical{"fit_geometrical", kPointParameters, 2};
constexpr host::FunctionDescription kFitLsq{"fit_lsq", kLsqParameters, 2};

constexpr std::string_view kDefaultMethod = "lbfgs";

// The two coordinate arguments of a bound call, converted in order: xs first, so that with both
// invalid only xs is reported. Arrays read in place are held (exported, or numpy's by the
// caller's reference) until the call returns.
struct Points {
  host::Coordinates xs;
  host::Coordinates ys;
};

// The conversions join the body's frame and the fit runs in a frame of its own, which keeps a
// call on a few points short (the entry guards the stack depth itself, so this is for speed
// only).
[[gnu::always_inline]] inline HostResult<base::Unit> extract_points(PyObject* xs_object,
                                                                    PyObject* ys_object,
                                                                    Points& points) {
  if (HostResult<base::Unit> xs = host::extract_coordinates(xs_object, "xs", points.xs); !xs)
    return xs;
  return host::extract_coordinates(ys_object, "ys", points.ys, &points.xs);
}

using PointsFit = std::vector<double> (*)(base::CoordinateView, base::CoordinateView);

template <PointsFit Fit>
[[gnu::noinline]] HostResult<PyRef> fit_points(const Points& points) {
  return host::to_list(Fit(points.xs.view(), points.ys.view()));
}

// The body of a function of the points alone: bind, convert xs then ys, fit, return the list.
template <PointsFit Fit>
HostResult<PyRef> points_body(const host::FunctionDescription& description, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 2> slots{};
  if (auto bound = host::extract_arguments_fastcall(description, args, nargs, kwnames, slots);
      !bound) {
    return std::move(bound).error();
  }
  Points points;
  if (HostResult<base::Unit> read = extract_points(slots[0], slots[1], points); !read) {
    return std::move(read).error();
  }
  return fit_points<Fit>(points);
}

HostResult<PyRef> taubin_svd_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return points_body<taubin_svd>(kTaubinSvd, args, nargs, kwnames);
}

HostResult<PyRef> fit_geometrical_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return points_body<fit_geometrical>(kFitGeometrical, args, nargs, kwnames);
}

[[gnu::noinline]] HostResult<PyRef> fit_lsq_points(const Points& points, std::string_view method) {
  return host::to_list(fit_lsq(points.xs.view(), points.ys.view(), method));
}

HostResult<PyRef> fit_lsq_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 3> slots{};
  if (auto bound = host::extract_arguments_fastcall(kFitLsq, args, nargs, kwnames, slots); !bound) {
    return std::move(bound).error();
  }
  Points points;
  if (HostResult<base::Unit> read = extract_points(slots[0], slots[1], points); !read) {
    return std::move(read).error();
  }
  // Borrowed from the method argument, which the caller keeps alive for the whole call.
  HostResult<std::string_view> method = host::extract_text(slots[2], "method", kDefaultMethod);
  if (!method) return std::move(method).error();
  return fit_lsq_points(points, method.value());
}

PyObject* taubin_svd_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return host::call_entry(taubin_svd_body, args, nargs, kwnames);
}

PyObject* fit_geometrical_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return host::call_entry(fit_geometrical_body, args, nargs, kwnames);
}

PyObject* fit_lsq_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return host::call_entry(fit_lsq_body, args, nargs, kwnames);
}

using FastcallKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The host stores every entry as a PyCFunction and calls it by the convention its flags name.
PyCFunction as_method(FastcallKeywords entry) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// 0x82 for all three: the fast-call convention with keywords, so a call builds no argument
// tuple or dict; the arguments are read in place from the caller's array.
constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;

// In the order the functions are added, which __all__ shows. The records live as long as the
// process: the function objects point into them.
// The doc texts are compared exactly by callers and tests, so they stay as first released,
// including "cirlce", "a Least-Squares methods" and taubin_svd's empty description.
std::array<PyMethodDef, 3> g_functions{{
    {"taubin_svd", as_method(taubin_svd_entry), kFastcallKeywords, "taubin_svd(xs, ys)\n--\n\n"},
    {"fit_geometrical", as_method(fit_geometrical_entry), kFastcallKeywords,
     "fit_geometrical(xs, ys)\n--\n\nFinds the probable center by taking the average of the "
     "points"},
    {"fit_lsq", as_method(fit_lsq_entry), kFastcallKeywords,
     "fit_lsq(xs, ys, method=\"lbfgs\")\n--\n\nFits the cirlce using a Least-Squares methods. "
     "Currently, only Nelder-Mead and L-BFGS are supported."},
}};

host::ModuleDef g_module("tondra", "", g_functions);

}  // namespace
}  // namespace tondra

PyMODINIT_FUNC PyInit_tondra() { return tondra::g_module.init(); }
