#include "host/module_def.hpp"

#include "host/conversion.hpp"
#include "host/entry.hpp"

namespace tondra::host {
namespace {

// The host API version that PyModule_Create2 is told we were written against.
constexpr int kApiVersion = 1013;

constexpr const char* kSubinterpreterMessage =
    "tondra does not yet support sub-interpreters: the module can only be imported in the "
    "first interpreter that loaded it in this process";

// The module's __all__ list (borrowed from the module), made empty if it does not exist yet.
HostResult<PyRef> all_list(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    HostError error = take_or_system_error();
    if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError)) return error;
    all = PyRef::steal(PyList_New(0));
    if (!all) return take_or_system_error();
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return take_or_system_error();
    return all;
  }
  if (!PyList_Check(all.get())) return conversion_error(all.get(), "PyList");
  return all;
}

}  // namespace

PyObject* ModuleDef::init() noexcept {
  return call_guarded([this] { return make_module(); });
}

HostResult<PyRef> ModuleDef::make_module() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) return take_or_system_error();
  std::int64_t expected = -1;
  if (!owner_interpreter_.compare_exchange_strong(expected, interpreter) &&
      expected != interpreter) {
    return HostError::deferred(PyExc_ImportError, kSubinterpreterMessage);
  }
  if (module_ != nullptr) return PyRef::borrow(module_);

  PyRef module = PyRef::steal(PyModule_Create2(&def_, kApiVersion));
  if (!module) return take_or_system_error();
  if (HostResult<Unit> added = add_functions(module.get()); !added) {
    return std::move(added).error();
  }
  // Adding the functions may have run host code that imported us again and filled the cache.
  if (module_ != nullptr) return PyRef::borrow(module_);
  module_ = PyRef::borrow(module.get()).release();
  return module;
}

HostResult<Unit> ModuleDef::add_functions(PyObject* module) {
  for (PyMethodDef& record : functions_) {
    const PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return take_or_system_error();
    const PyRef function =
        PyRef::steal(PyCMethod_New(&record, module, module_name.get(), nullptr));
    if (!function) return take_or_system_error();

    const PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return take_or_system_error();
    if (!PyUnicode_Check(name.get())) return conversion_error(name.get(), "PyString");

    HostResult<PyRef> all = all_list(module);
    if (!all) return std::move(all).error();
    if (PyList_Append(all.value().get(), name.get()) < 0) {
      (void)take();
      fault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return take_or_system_error();
  }
  return Unit{};
}

}  // namespace tondra::host
