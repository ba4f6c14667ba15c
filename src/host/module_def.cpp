#include "host/module_def.hpp"

#include <cstdint>

#include "host/conversion.hpp"
#include "host/panic.hpp"

namespace tondra::host {
namespace {

// The host API version that PyModule_Create2 is told we were written against. A literal rather
// than PYTHON_API_VERSION: 1013 is what every interpreter we support expects, so none of them
// warns, and a header that someday bumped the macro must not change what the module declares.
constexpr int kApiVersion = 1013;

// Users and tests match this text. It says what is refused and why, and nothing that would go
// stale once the state is kept per interpreter.
constexpr const char* kSubinterpreterMessage =
    "tondra does not yet support sub-interpreters: the module can only be imported in the "
    "first interpreter that loaded it in this process";

// The key in an interpreter's own dictionary under which a capsule waits for its teardown.
constexpr const char* kTeardownKey = "tondra.owner";
constexpr const char* kCapsuleName = "tondra.owner";

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

// Whether the current interpreter refuses single-phase modules (an isolated sub-interpreter).
// 3.12 checks that only after the initialisation has returned and then discards the module, so
// an initialisation there must make and claim nothing; 3.13 checks before calling us. (CPython's
// own tests can lift the refusal with a private override; such an interpreter is refused here all
// the same.)
bool refuses_single_phase_modules() {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
  PyInterpreterState* const interpreter = PyInterpreterState_Get();
  return interpreter != PyInterpreterState_Main() &&
         _PyInterpreterState_HasFeature(interpreter, Py_RTFLAGS_MULTI_INTERP_EXTENSIONS) != 0;
#else
  return false;
#endif
}

}  // namespace

PyObject* ModuleDef::init() noexcept {
  return call_guarded([this] { return make_module(); });
}

HostResult<PyRef> ModuleDef::make_module() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) return take_or_system_error();
  {
    const std::lock_guard lock(mutex_);
    if (owner_interpreter_ != -1 && owner_interpreter_ != interpreter) {
      return HostError::deferred(PyExc_ImportError, kSubinterpreterMessage);
    }
    if (module_ != nullptr) return PyRef::borrow(module_);
  }
  if (refuses_single_phase_modules()) {
    return HostError::deferred(PyExc_ImportError, kSubinterpreterMessage);
  }

  PyRef module = PyRef::steal(PyModule_Create2(&def_, kApiVersion));
  if (!module) return take_or_system_error();
  if (HostResult<base::Unit> added = add_functions(module.get()); !added) {
    return std::move(added).error();
  }
  // The type is made and published before the claim, so a failure here claims nothing.
  if (HostResult<base::Unit> published = publish_panic_type(); !published) {
    return std::move(published).error();
  }
  if (HostResult<base::Unit> registered = release_at_teardown(); !registered) {
    return std::move(registered).error();
  }
  // Claimed only now that nothing can fail any more. Meanwhile another interpreter may have
  // claimed the module, or host code run above may have imported us again and filled the cache.
  const std::lock_guard lock(mutex_);
  if (owner_interpreter_ != -1 && owner_interpreter_ != interpreter) {
    return HostError::deferred(PyExc_ImportError, kSubinterpreterMessage);
  }
  if (module_ != nullptr) return PyRef::borrow(module_);
  owner_interpreter_ = interpreter;
  module_ = PyRef::borrow(module.get()).release();
  return module;
}

// A capsule in the interpreter's own dictionary is released when the interpreter is torn down
// (by Py_EndInterpreter or Py_Finalize); its destructor hands the module back. Registered once
// per interpreter.
HostResult<base::Unit> ModuleDef::release_at_teardown() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
  if (dict == nullptr) return take_or_system_error();
  const PyRef key = PyRef::steal(PyUnicode_FromString(kTeardownKey));
  if (!key) return take_or_system_error();
  const int present = PyDict_Contains(dict, key.get());
  if (present < 0) return take_or_system_error();
  if (present == 1) return base::Unit{};
  const PyRef capsule = PyRef::steal(PyCapsule_New(this, kCapsuleName, release_capsule));
  if (!capsule) return take_or_system_error();
  // The context is the identifier itself, not a pointer: the interpreter may be half torn down
  // by the time the destructor runs.
  if (PyCapsule_SetContext(capsule.get(),
                           reinterpret_cast<void*>(static_cast<std::intptr_t>(interpreter))) < 0 ||
      PyDict_SetItem(dict, key.get(), capsule.get()) < 0) {
    return take_or_system_error();
  }
  return base::Unit{};
}

void ModuleDef::release_capsule(PyObject* capsule) noexcept {
  auto* self = static_cast<ModuleDef*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (self == nullptr) {
    PyErr_Clear();
    return;
  }
  self->release(
      static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(PyCapsule_GetContext(capsule))));
}

void ModuleDef::release(std::int64_t interpreter) noexcept {
  PyObject* module = nullptr;
  {
    const std::lock_guard lock(mutex_);
    if (owner_interpreter_ != interpreter) return;
    module = std::exchange(module_, nullptr);
  }
  // Released in the interpreter they belong to; the next owner makes its own.
  Py_XDECREF(module);
  release_panic_type();
  const std::lock_guard lock(mutex_);
  owner_interpreter_ = -1;
}

HostResult<base::Unit> ModuleDef::add_functions(PyObject* module) {
  for (PyMethodDef& record : functions_) {
    const PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return take_or_system_error();
    const PyRef function = PyRef::steal(PyCMethod_New(&record, module, module_name.get(), nullptr));
    if (!function) return take_or_system_error();

    const PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return take_or_system_error();
    // The target names ("PyString", "PyList", "Sequence") are the texts our conversion errors
    // have always carried; callers match the messages, so they stay.
    if (!PyUnicode_Check(name.get())) return conversion_error(name.get(), "PyString");

    HostResult<PyRef> all = all_list(module);
    if (!all) return std::move(all).error();
    if (PyList_Append(all.value().get(), name.get()) < 0) {
      HostError error = take_or_system_error();
      // Running out of memory is the host's to report; anything else breaks our invariant.
      if (PyErr_GivenExceptionMatches(error.type(), PyExc_MemoryError)) return error;
      base::fault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return take_or_system_error();
  }
  return base::Unit{};
}

}  // namespace tondra::host
