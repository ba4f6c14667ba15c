#include "host/panic.hpp"

#include <cstdlib>
#include <new>
#include <optional>
#include <string>

#include "base/fault.hpp"
#include "host/host_error.hpp"
#include "host/text.hpp"

namespace tondra::host {
namespace {

thread_local long g_lock_depth = 0;

// The type's qualified name is public: callers catch it by name and pickles store it. It has
// been kelvar_runtime.PanicException since the first release, so it stays, although no package
// of that name is installed; publish_panic_type registers the name in sys.modules instead.
constexpr const char* kPanicTypeName = "kelvar_runtime.PanicException";
constexpr const char* kPanicHomeName = "kelvar_runtime";
// Any attribute of the module will do: looking it up is what imports tondra when unpickling.
constexpr const char* kModuleName = "tondra";
constexpr const char* kAnchorName = "fit_lsq";
constexpr const char* kPanicTypeDoc =
    "\n"
    "Raised when the native code of the tondra module panics.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it\n"
    "will typically propagate all the way up the stack and make the interpreter exit.\n";

// An owned reference, released only at the teardown of the interpreter that owns the module:
// pending exceptions may refer to the type until then.
PyObject* g_panic_type = nullptr;

constexpr const char* kForeignPanicMessage = "panic from native code";

HostResult<PyRef> import_attribute(const char* module, const char* name) {
  const PyRef imported = PyRef::steal(PyImport_ImportModule(module));
  if (!imported) return take_or_system_error();
  PyRef attribute = PyRef::steal(PyObject_GetAttrString(imported.get(), name));
  if (!attribute) return take_or_system_error();
  return attribute;
}

// The reduction described in the header. An instance made with other than one argument (only
// user code does that) keeps BaseException's own, which needs tondra imported to unpickle.
HostResult<PyRef> reduce_panic(PyObject* self) {
  const PyRef args = PyRef::steal(PyObject_GetAttrString(self, "args"));
  if (!args) return take_or_system_error();
  const PyRef dict = PyRef::steal(PyObject_GetAttrString(self, "__dict__"));
  if (!dict) return take_or_system_error();
  // Notes and other attributes travel as the state, as BaseException's own reduction has them.
  const int has_state = PyObject_IsTrue(dict.get());
  if (has_state < 0) return take_or_system_error();
  PyObject* const state = has_state ? dict.get() : Py_None;           // borrowed from `dict`
  PyObject* const type = reinterpret_cast<PyObject*>(Py_TYPE(self));  // borrowed from self

  if (!PyTuple_Check(args.get()) || PyTuple_GET_SIZE(args.get()) != 1) {
    return expect_object(Py_BuildValue("(OOO)", type, args.get(), state));
  }
  HostResult<PyRef> reduce = import_attribute("functools", "reduce");
  if (!reduce) return std::move(reduce).error();
  HostResult<PyRef> call = import_attribute("operator", "call");
  if (!call) return std::move(call).error();
  HostResult<PyRef> itemgetter = import_attribute("operator", "itemgetter");
  if (!itemgetter) return std::move(itemgetter).error();
  HostResult<PyRef> anchor = import_attribute(kModuleName, kAnchorName);
  if (!anchor) return std::move(anchor).error();
  const PyRef second = PyRef::steal(PyObject_CallFunction(itemgetter.value().get(), "i", 1));
  if (!second) return take_or_system_error();
  return expect_object(Py_BuildValue("(O(O(O(OO)O))O)", reduce.value().get(), call.value().get(),
                                     second.get(), anchor.value().get(), type,
                                     PyTuple_GET_ITEM(args.get(), 0), state));
}

PyObject* reduce_panic_entry(PyObject* self, PyObject* /*unused*/) {
  return call_guarded([self] { return reduce_panic(self); });
}

// Lives as long as the process: the type's __reduce__ descriptor points into it.
PyMethodDef g_reduce_def{"__reduce__", reduce_panic_entry, METH_NOARGS,
                         "Pickles the exception with its message."};

// The host refused to make the type or to give it its __reduce__.
[[noreturn]] void fail_to_make_type() {
  // Not `take`: it would come back here to compare the pending type with ours.
  PyRef pending = PyRef::steal(compat::get_raised_exception());
  // Out of memory is no broken invariant: the caller reports it as the host's MemoryError.
  if (pending && PyErr_GivenExceptionMatches(pending.get(), PyExc_MemoryError)) {
    throw std::bad_alloc();
  }
  const HostError error =
      pending ? HostError::captured(std::move(pending)) : HostError::none_was_set();
  base::fault("Failed to initialize new exception type.: " + debug_text(error));
}

}  // namespace

PyObject* panic_type() {
  if (g_panic_type != nullptr) return g_panic_type;
  PyRef made = PyRef::steal(
      PyErr_NewExceptionWithDoc(kPanicTypeName, kPanicTypeDoc, PyExc_BaseException, nullptr));
  if (!made) fail_to_make_type();
  const PyRef reduce =
      PyRef::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(made.get()), &g_reduce_def));
  if (!reduce || PyObject_SetAttrString(made.get(), "__reduce__", reduce.get()) < 0) {
    fail_to_make_type();
  }
  // Making a type runs no user code today; should that change, the first type made wins.
  if (g_panic_type == nullptr) g_panic_type = made.release();
  return g_panic_type;
}

HostResult<base::Unit> publish_panic_type() {
  PyObject* const type = panic_type();                 // borrowed: lives as long as the owner
  PyObject* const modules = PyImport_GetModuleDict();  // borrowed from the interpreter
  const PyRef home_name = PyRef::steal(PyUnicode_FromString(kPanicHomeName));
  if (!home_name) return take_or_system_error();
  if (PyDict_GetItemWithError(modules, home_name.get()) != nullptr) return base::Unit{};
  if (PyErr_Occurred()) return take_or_system_error();
  const PyRef home = PyRef::steal(PyModule_NewObject(home_name.get()));
  if (!home) return take_or_system_error();
  if (PyModule_AddObjectRef(home.get(), "PanicException", type) < 0 ||
      PyDict_SetItem(modules, home_name.get(), home.get()) < 0) {
    return take_or_system_error();
  }
  return base::Unit{};
}

bool is_panic_type(PyObject* type) noexcept {
  return g_panic_type != nullptr && type == g_panic_type;
}

void release_panic_type() noexcept { Py_CLEAR(g_panic_type); }

void raise_panic(const std::string& message) noexcept {
  try {
    HostError::deferred(panic_type(), message).restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    // The last words before the abort. Like every fault text it is part of what users see and
    // search their logs for, so it stays as it has always been.
    base::report_fault("uncaught panic at ffi boundary", base::SourcePos::here());
    std::abort();
  }
}

void resume_panic(PyRef exception) {
  std::string message = "Unwrapped panic from Python code";
  const PyRef str = PyRef::steal(PyObject_Str(exception.get()));
  std::optional<std::string> text = str ? string_text(str.get()) : std::nullopt;
  if (text) {
    message = std::move(*text);
  } else {
    PyErr_Clear();
  }
  base::write_stderr(
      "panic resumed after a PanicException was fetched from Python\n"
      "Python stack trace below:\n");
  compat::set_raised_exception(exception.release());
  PyErr_PrintEx(0);
  base::resume_fault(std::move(message));
}

std::optional<HostError> take() {
  PyRef exception = PyRef::steal(compat::get_raised_exception());
  if (!exception) return std::nullopt;
  if (is_panic_type(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())))) {
    resume_panic(std::move(exception));
  }
  return HostError::captured(std::move(exception));
}

HostError take_or_system_error() {
  std::optional<HostError> error = take();
  if (error) return std::move(*error);
  return HostError::none_was_set();
}

std::string display_text(PyObject* object) {
  const PyRef str = PyRef::steal(PyObject_Str(object));
  if (str) {
    if (std::optional<std::string> text = string_text(str.get())) return std::move(*text);
  }
  take_or_system_error().restore();
  PyErr_WriteUnraisable(object);
  const PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  if (name) {
    if (std::optional<std::string> text = string_text(name.get())) {
      return "<unprintable " + *text + " object>";
    }
  }
  PyErr_Clear();
  return "<unprintable object>";
}

// Should even the message not fit in memory, noexcept ends the process here: there is no
// longer a safe way to tell the host.
LockMark::LockMark() noexcept { ++g_lock_depth; }
LockMark::~LockMark() { --g_lock_depth; }

bool lock_held() noexcept { return g_lock_depth > 0; }

void raise_foreign_exception(const char* what) noexcept {
  const std::string message = what != nullptr ? what : kForeignPanicMessage;
  base::report_fault(message, base::SourcePos::here());
  raise_panic(message);
}

}  // namespace tondra::host
