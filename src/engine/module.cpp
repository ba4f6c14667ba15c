// tondrakit._engine: the kit's private extension module. It converts what the kit hands it into
// coordinates of its own, lets go of the interpreter's lock while the fits run (on several
// threads for a batch) and hands back plain values. It raises only ordinary exceptions: every
// failure of a fit is a status in the results, which the kit words.
//
// Functions (all private to the kit, which checks every argument first):
//   fit_one, residuals, roundness             one set in the plane (set_entry.hpp)
//   fit_batch, gather, roundness_batch        many sets on threads (batch_entry.hpp)
//   fit_sphere, fit_circle3d                  shapes in space (space_entry.hpp)
// and the tables the kit builds its words on: STATUSES, METHODS, RESULT_FIELDS and TERMINATIONS.

#include <iterator>
#include <string_view>
#include <utility>

#include "engine/batch_entry.hpp"
#include "engine/set_entry.hpp"
#include "engine/space_entry.hpp"
#include "host/compat.hpp"
#include "host/py_ref.hpp"
#include "kernel/method.hpp"
#include "kernel/status.hpp"
#include "kernel/termination.hpp"

namespace tondra::kit {
namespace {

using host::PyRef;

PyMethodDef kMethods[] = {
    {"fit_one", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit_one_entry)),
     METH_FASTCALL,
     "fit_one(xs, ys, method[, weights, bounds]): one set, or None for the kit to check."},
    {"fit_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit_batch_entry)),
     METH_FASTCALL,
     "fit_batch(x, y, offsets, method, workers, robust[, weights, bounds]): many sets."},
    {"residuals", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(residuals_entry)),
     METH_FASTCALL, "residuals(x, y, cx, cy, r): signed distances from a circle."},
    {"gather", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gather_entry)),
     METH_FASTCALL, "gather(x, y, codes, offsets, workers): the points in group order."},
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

// The engine's tables, from which the kit takes its status words, method codes, result fields and
// termination words.
int add_tables(PyObject* module) {
  const std::pair<const char*, PyRef> tables[] = {
      {"STATUSES", name_tuple(kStatusNames)},
      {"METHODS", name_tuple(kMethodNames)},
      {"RESULT_FIELDS", name_tuple(kResultFields)},
      {"TERMINATIONS", name_tuple(kTerminationNames)},
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
