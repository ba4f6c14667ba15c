#include "host/conversion.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <string>

#include "base/pages.hpp"
#include "host/buffer_read.hpp"
#include "host/panic.hpp"
#include "host/text.hpp"

namespace tondra::host {
namespace {

// A vector of n doubles takes 8n bytes, which must stay within the largest signed 64-bit value;
// a length above this is no real sequence, so it is treated as a broken invariant.
constexpr std::uint64_t kMaxCoordinates =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / sizeof(double);

std::string type_qualname(PyObject* object) {
  const PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (name) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
      return std::string(data, static_cast<std::size_t>(size));
    }
  }
  (void)take();
  return "<failed to extract type name>";
}

// The capacity to start with: the host's length of `object`, or 0 when it has none. Out of line,
// as the other cold paths below: a user __float__ may call back into the module from the frames
// of a conversion, so they carry no error's temporaries.
[[gnu::noinline]] std::size_t capacity_hint(PyObject* object) {
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    (void)take();  // only a hint: iteration decides the real length
    return 0;
  }
  if (static_cast<std::uint64_t>(length) > kMaxCoordinates) base::fault("capacity overflow");
  return static_cast<std::size_t>(length);
}

[[gnu::noinline]] void grow_and_append(std::vector<double>& values, double value) {
  values.push_back(value);
}

// push_back with the growth out of line: a reallocation's spills stay out of the frames that a
// user __float__ may re-enter the module from.
inline void append(std::vector<double>& values, double value) {
  if (values.size() < values.capacity()) {
    values.push_back(value);
  } else {
    grow_and_append(values, value);
  }
}

[[gnu::noinline, gnu::cold]] HostError out_of_memory() {
  PyErr_NoMemory();
  return take_or_system_error();
}

[[gnu::noinline, gnu::cold]] HostError str_refused(std::string_view name) {
  return argument_extraction_error(name, HostError::type_error("Can't extract `str` to `Vec`"));
}

// Reads an exact list or tuple in place. It behaves as the host's own iterator over it: the
// size is read afresh before every item, because a user __float__ may change the list, and an
// item that needs user code is held by a reference of ours while that code runs.
template <bool kIsList>
HostResult<base::Unit> append_items_in_place(PyObject* object, std::vector<double>& values) {
  base::prepare_pages(values);  // the length is real: an exact list or tuple
  for (Py_ssize_t i = 0;; ++i) {
    const Py_ssize_t size = kIsList ? PyList_GET_SIZE(object) : PyTuple_GET_SIZE(object);
    if (i >= size) return base::Unit{};
    PyObject* item = kIsList ? PyList_GET_ITEM(object, i) : PyTuple_GET_ITEM(object, i);
    if (PyFloat_CheckExact(item)) {
      append(values, PyFloat_AS_DOUBLE(item));
      continue;
    }
    const PyRef held = PyRef::borrow(item);
    HostResult<double> value = extract_element(held.get());
    if (!value) return std::move(value).error();
    append(values, value.value());
  }
}

HostResult<base::Unit> append_items_by_iteration(PyObject* object, std::vector<double>& values) {
  const PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return take_or_system_error();
  while (const PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    HostResult<double> value = extract_element(item.get());
    if (!value) return std::move(value).error();
    append(values, value.value());
  }
  if (std::optional<HostError> error = take()) return std::move(*error);
  return base::Unit{};
}

// Replaces each NaN from values[first] on by what the object's own item at that place converts
// to. Exporters differ on a narrow NaN's payload and sign (numpy keeps them, a memoryview may
// not), and iteration gives each item as the object's item access does.
HostResult<base::Unit> take_nans_from_items(PyObject* object, std::vector<double>& values,
                                            std::size_t first) {
  for (std::size_t i = first; i < values.size(); ++i) {
    if (!std::isnan(values[i])) continue;
    const PyRef item = PyRef::steal(PySequence_GetItem(object, static_cast<Py_ssize_t>(i - first)));
    if (!item) return take_or_system_error();
    HostResult<double> value = extract_element(item.get());
    if (!value) return std::move(value).error();
    values[i] = value.value();
  }
  return base::Unit{};
}

// The elements of the object's exported buffer; the export ends with the copy, so that user code
// run later in the call (converting the other argument) may resize the object as it always could.
HostResult<base::Unit> append_buffer_items(PyObject* object, ReadableBuffer& buffer,
                                           std::vector<double>& values) {
  const std::size_t first = values.size();
  values.reserve(first + buffer.size());
  base::prepare_pages(values);  // the length is real: the buffer's own
  buffer.append_to(values);
  HostResult<base::Unit> read = base::Unit{};
  if (buffer.holds_narrow_floats()) read = take_nans_from_items(object, values, first);
  buffer.release();
  return read;
}

// Leaves the host's recursive call entered before it on every way out: a fault unwinds through
// a conversion (an impossible length, a PanicException resumed from user code), and a depth
// left counted would end the thread's later calls in RecursionError.
class RecursiveCallExit {
 public:
  RecursiveCallExit() = default;
  RecursiveCallExit(const RecursiveCallExit&) = delete;
  RecursiveCallExit& operator=(const RecursiveCallExit&) = delete;
  ~RecursiveCallExit() { Py_LeaveRecursiveCall(); }
};

// `extract_sequence`, inlined into the coordinate conversion to spare a frame per re-entry.
// `buffer` holds the object's export when it has one whose elements we know how to read: such
// memory is read directly, anything else by iteration.
[[gnu::always_inline]] inline HostResult<base::Unit> read_sequence(PyObject* object,
                                                                   std::vector<double>& values,
                                                                   ReadableBuffer& buffer) {
  if (!PySequence_Check(object)) return conversion_error(object, "Sequence");
  try {
    values.reserve(capacity_hint(object));
    return PyList_CheckExact(object)    ? append_items_in_place<true>(object, values)
           : PyTuple_CheckExact(object) ? append_items_in_place<false>(object, values)
           : buffer.held()              ? append_buffer_items(object, buffer, values)
                                        : append_items_by_iteration(object, values);
  } catch (const std::bad_alloc&) {
    // A user sequence may claim any length; not having the memory is the caller's problem, not
    // a reason to end the process.
    return out_of_memory();
  }
}

}  // namespace

HostError conversion_error(PyObject* object, std::string_view target) {
  std::string message = "'";
  message += type_qualname(object);
  message += "' object cannot be converted to '";
  message += target;
  message += '\'';
  return HostError::type_error(std::move(message));
}

HostError argument_extraction_error(std::string_view name, HostError error) {
  if (!error.is_exactly(PyExc_TypeError)) return error;
  PyRef cause;
  std::string text(error.message());
  if (PyObject* exception = error.exception()) {
    cause = PyRef::steal(PyException_GetCause(exception));
    text = display_text(exception);
  }
  PyRef prefixed =
      HostError::type_error("argument '" + std::string(name) + "': " + text).into_exception();
  if (!prefixed) return take_or_system_error();
  // Steals the cause; with none, this still marks the context as suppressed, as `raise from`.
  PyException_SetCause(prefixed.get(), cause.release());
  return HostError::captured(std::move(prefixed));
}

HostResult<double> extract_element(PyObject* item) {
  if (PyFloat_CheckExact(item)) return PyFloat_AS_DOUBLE(item);
  // float() of an exact int is PyLong_AsDouble (same value, same OverflowError) without the
  // intermediate float object.
  const double value = PyLong_CheckExact(item) ? PyLong_AsDouble(item) : PyFloat_AsDouble(item);
  if (value == -1.0) {
    if (std::optional<HostError> error = take()) return std::move(*error);
  }
  return value;
}

HostResult<base::Unit> extract_sequence(PyObject* object, std::vector<double>& values) {
  ReadableBuffer buffer;
  (void)buffer.acquire(object);
  return read_sequence(object, values, buffer);
}

void Coordinates::take_copy() {
  const base::CoordinateView doubles = in_place_view_;
  values_.reserve(doubles.size());
  base::prepare_pages(values_);
  for (std::size_t i = 0; i < doubles.size(); ++i) values_.push_back(doubles[i]);
  buffer_.release();
  in_place_ = false;
}

HostResult<base::Unit> extract_coordinates(PyObject* object, std::string_view name,
                                           Coordinates& coordinates, Coordinates* earlier) {
  if (PyUnicode_Check(object)) return str_refused(name);
  // The conversion runs user code (__len__, __iter__, __next__, __float__) that may call us
  // again, so each conversion counts against the host's recursion limit: deep re-entry ends in
  // RecursionError long before the C stack runs out.
  if (Py_EnterRecursiveCall(" while converting coordinates") != 0) return take_or_system_error();
  HostResult<base::Unit> read = [&]() -> HostResult<base::Unit> {
    const RecursiveCallExit exit;
    // Everything read in place (numpy's arrays, array.array, memoryview) is a sequence: nothing
    // skips the "Sequence" test below this way.
    if (const std::optional<base::CoordinateView> doubles = numpy_doubles(object)) {
      coordinates.in_place_view_ = *doubles;
      coordinates.in_place_ = true;
      return base::Unit{};
    }
    if (coordinates.buffer_.acquire(object) && coordinates.buffer_.holds_doubles()) {
      coordinates.in_place_view_ = coordinates.buffer_.doubles();
      coordinates.in_place_ = true;
      return base::Unit{};
    }
    try {
      if (earlier != nullptr && earlier->in_place_) earlier->take_copy();
    } catch (const std::bad_alloc&) {
      return out_of_memory();
    }
    return read_sequence(object, coordinates.values_, coordinates.buffer_);
  }();
  if (!read) return argument_extraction_error(name, std::move(read).error());
  return read;
}

HostResult<std::string_view> extract_text(PyObject* object, std::string_view name,
                                          std::string_view default_text) {
  if (object == nullptr || object == Py_None) return default_text;
  if (!PyUnicode_Check(object)) {
    return argument_extraction_error(name, conversion_error(object, "PyString"));
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return argument_extraction_error(name, take_or_system_error());
  return std::string_view(data, static_cast<std::size_t>(size));
}

PyRef to_list(std::vector<double> values) {
  PyRef list = expect_object(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    expect_object(PyFloat_FromDouble(values[i])).release());
  }
  return list;
}

}  // namespace tondra::host
