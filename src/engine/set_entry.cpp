#include "engine/set_entry.hpp"

#include <optional>
#include <span>
#include <vector>

#include "engine/columns.hpp"
#include "engine/engine_args.hpp"
#include "engine/engine_call.hpp"
#include "host/py_ref.hpp"
#include "kernel/known_fit.hpp"
#include "kernel/residuals.hpp"
#include "kernel/roundness.hpp"
#include "kernel/set_fit.hpp"

namespace tondra::kit {
namespace {

using host::PyRef;

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
  return Py_BuildValue("(iiddddOiLLOdOi)", static_cast<int>(fit.status),
                       static_cast<int>(fit.detail), fit.cx, fit.cy, fit.stats.r, fit.stats.rms,
                       cov.get(), fit.stats.cov_exponent, static_cast<long long>(fit.n),
                       static_cast<long long>(fit.iterations), fit.converged ? Py_True : Py_False,
                       fit.arc, message, static_cast<int>(fit.termination));
}

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

// Lends the thread's buffers to one fit, or buffers of its own to a fit reached from inside
// another.
class LentBuffers {
 public:
  LentBuffers() : buffers_(t_buffers.in_use ? own_ : t_buffers) { buffers_.in_use = true; }
  LentBuffers(const LentBuffers&) = delete;
  LentBuffers& operator=(const LentBuffers&) = delete;
  ~LentBuffers() {
    buffers_.in_use = false;
    if (buffers_.x.capacity() > kKeptPoints) buffers_ = SingleFitBuffers{};
  }
  SingleFitBuffers& get() { return buffers_; }

 private:
  SingleFitBuffers own_;
  SingleFitBuffers& buffers_;
};

}  // namespace

PyObject* fit_one_entry(PyObject* /*module*/, PyObject* const* args, const Py_ssize_t nargs) {
  if (!arity(nargs, {3, 5}, "fit_one(xs, ys, method[, weights, bounds])")) return nullptr;
  Knowns knowns;
  if (nargs == 5 && args[4] != Py_None && !bounds_arg(args[4], "fit_one", knowns.bounds)) {
    return nullptr;
  }
  const std::optional<Method> method = method_arg(args[2], "fit_one");
  if (!method) return nullptr;
  return engine_call([&]() -> PyObject* {
    LentBuffers lent;
    SingleFitBuffers& buffers = lent.get();
    std::vector<double>& x = buffers.x;
    std::vector<double>& y = buffers.y;
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
    run_released(x.size(), [&] { fit = fit_set_knowing(x, y, *method, knowns, buffers.work); });
    return result_tuple(fit);
  });
}

PyObject* residuals_entry(PyObject* /*module*/, PyObject* const* args, const Py_ssize_t nargs) {
  return engine_call([&]() -> PyObject* {
    if (!arity(nargs, {5}, "residuals(x, y, cx, cy, r)")) return nullptr;
    CallArgs a("residuals", args);
    std::span<const double> x;
    std::span<const double> y;
    double c[3] = {0.0, 0.0, 0.0};
    if (!a.points(0, x, y) || !a.real(2, "cx", c[0]) || !a.real(3, "cy", c[1]) ||
        !a.real(4, "r", c[2])) {
      return nullptr;
    }
    std::span<double> out;
    PyRef column = new_column(x.size(), out);
    if (!column) return nullptr;
    circle_residuals(x, y, c[0], c[1], c[2], out);
    return column.release();
  });
}

// (status, shape, cx, cy, inner, outer, ront, support indices as a tuple)
PyObject* roundness_entry(PyObject* /*module*/, PyObject* const* args, const Py_ssize_t nargs) {
  return engine_call([&]() -> PyObject* {
    if (!arity(nargs, {5}, "roundness(x, y, reference, cx, cy)")) return nullptr;
    CallArgs a("roundness", args);
    std::span<const double> x;
    std::span<const double> y;
    long long code = 0;
    double cx = 0.0;
    double cy = 0.0;
    if (!a.points(0, x, y) || !a.integer(2, "reference", 0, 3, code) || !a.real(3, "cx", cx) ||
        !a.real(4, "cy", cy)) {
      return nullptr;
    }
    Roundness r;
    run_released(x.size(), [&] { r = roundness(x, y, static_cast<Reference>(code), cx, cy); });
    PyRef support = PyRef::steal(PyTuple_New(r.supports));
    if (!support) return nullptr;
    for (int k = 0; k < r.supports; ++k) {
      PyObject* index = PyLong_FromLongLong(r.support[static_cast<std::size_t>(k)]);
      if (index == nullptr) return nullptr;
      PyTuple_SET_ITEM(support.get(), k, index);
    }
    return Py_BuildValue("(iidddddO)", static_cast<int>(r.status), static_cast<int>(r.shape), r.cx,
                         r.cy, r.inner, r.outer, r.ront, support.get());
  });
}

}  // namespace tondra::kit
