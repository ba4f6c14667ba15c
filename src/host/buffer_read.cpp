#include "host/buffer_read.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>

#include "host/host_error.hpp"
#include "host/panic.hpp"

namespace tondra::host {
namespace {

static_assert(sizeof(float) == 4 && sizeof(double) == 8);

enum class Exporter { NumpyArray, Array, MemoryView };

// The attribute NAME of the module MODULE as it stands in sys.modules now, or null: a module
// that was never imported has no objects to pass us, so nothing is imported here. Borrowed from
// the module's dict and only compared by identity at once; an object of that type keeps it alive.
PyObject* imported_attribute(const char* module, const char* name) {
  PyObject* const modules = PyImport_GetModuleDict();  // borrowed from the interpreter
  if (!PyDict_Check(modules)) return nullptr;
  // Lookup errors are suppressed by the call: a module we cannot find is one we do not use.
  PyObject* const found = PyDict_GetItemString(modules, module);
  if (found == nullptr || !PyModule_Check(found)) return nullptr;
  return PyDict_GetItemString(PyModule_GetDict(found), name);
}

// numpy's ndarray is a static type, and no class defined in Python can carry its dotted name (a
// class's type is a heap type), so the name tells it from everything else without a lookup in
// sys.modules, which costs more than reading twenty elements. Should numpy ever make it a heap
// type, the lookup still finds it.
bool is_numpy_array(PyObject* object) {
  PyTypeObject* const type = Py_TYPE(object);
  if (std::strcmp(type->tp_name, "numpy.ndarray") != 0) return false;
  if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0) return true;
  return reinterpret_cast<PyObject*>(type) == imported_attribute("numpy", "ndarray");
}

// Assumes the object exports a buffer.
std::optional<Exporter> exporter_of(PyObject* object) {
  if (Py_IS_TYPE(object, &PyMemoryView_Type)) return Exporter::MemoryView;
  if (is_numpy_array(object)) return Exporter::NumpyArray;
  if (reinterpret_cast<PyObject*>(Py_TYPE(object)) == imported_attribute("array", "array")) {
    return Exporter::Array;
  }
  return std::nullopt;
}

// The start of numpy's array and dtype objects as laid out since numpy 1.7: numpy's own headers
// read these fields inline in every compiled extension, so they cannot move without breaking all
// of them. We do not build against numpy; should the layout change anyway, the dtype checks in
// numpy_doubles fail and the array takes the export path.
struct NumpyArrayHead {
  PyObject_HEAD char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  PyObject* descr;
};
struct NumpyDescrHead {
  PyObject_HEAD PyTypeObject* typeobj;
  char kind;
  char type;
  char byteorder;
};

// numpy's float64 dtype, told by the static type numpy (1.25 and later) gives it.
bool is_float64_dtype(PyObject* descr) noexcept {
  const PyTypeObject* const type = Py_TYPE(descr);
  return (type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0 &&
         std::strcmp(type->tp_name, "numpy.dtypes.Float64DType") == 0;
}

using Kind = ReadableBuffer::Kind;
using Element = ReadableBuffer::Element;

// The element a one-item struct format describes, if it is a number of a kind we read in native
// byte order. '=' (and '<' here) give standard sizes, as numpy writes for unaligned data. A
// memoryview iterates only native formats and raises on any other, so it gets no prefix but '@'.
std::optional<Element> element_of(const char* format, Exporter exporter) {
  bool standard = false;
  if (*format == '@') {
    ++format;
  } else if (exporter != Exporter::MemoryView &&
             (*format == '=' || (*format == '<' && std::endian::native == std::endian::little))) {
    standard = true;
    ++format;
  }
  if (format[0] == '\0' || format[1] != '\0') return std::nullopt;
  const auto sized = [standard](Kind kind, Py_ssize_t standard_size, Py_ssize_t native_size) {
    return Element{kind, standard ? standard_size : native_size};
  };
  switch (format[0]) {
    case '?': return Element{Kind::Bool, 1};
    case 'b': return Element{Kind::Signed, 1};
    case 'B': return Element{Kind::Unsigned, 1};
    case 'h': return Element{Kind::Signed, 2};
    case 'H': return Element{Kind::Unsigned, 2};
    case 'i': return sized(Kind::Signed, 4, sizeof(int));
    case 'I': return sized(Kind::Unsigned, 4, sizeof(unsigned));
    case 'l': return sized(Kind::Signed, 4, sizeof(long));
    case 'L': return sized(Kind::Unsigned, 4, sizeof(unsigned long));
    case 'q': return Element{Kind::Signed, 8};
    case 'Q': return Element{Kind::Unsigned, 8};
    case 'n':
      if (standard) return std::nullopt;
      return Element{Kind::Signed, sizeof(Py_ssize_t)};
    case 'N':
      if (standard) return std::nullopt;
      return Element{Kind::Unsigned, sizeof(std::size_t)};
#if PY_VERSION_HEX < 0x030C0000
    case 'e':  // a memoryview of 3.11 cannot unpack half floats
      if (exporter == Exporter::MemoryView) return std::nullopt;
      return Element{Kind::Float, 2};
#else
    case 'e': return Element{Kind::Float, 2};
#endif
    case 'f': return Element{Kind::Float, 4};
    case 'd': return Element{Kind::Float, 8};
    default: return std::nullopt;
  }
}

// The raw bits of the two element kinds C++ has no plain type for.
struct Half {
  std::uint16_t bits;
};
struct Flag {
  std::uint8_t byte;
};

// Integers round to nearest-even like the host's float() of the same value; floats widen
// exactly.
template <class T>
double to_double(T raw) noexcept {
  return static_cast<double>(raw);
}

// Any byte but 0 is true, as the exporters' own bool items are.
double to_double(Flag flag) noexcept { return flag.byte != 0 ? 1.0 : 0.0; }

// Every half value is a double exactly: a subnormal is its fraction times 2^-24, a normal number
// only moves its exponent (bias 15 to 1023) and fraction. All NaNs come out as one NaN; the
// caller takes those elements from the object.
double to_double(Half half) noexcept {
  const unsigned exponent = (half.bits >> 10) & 0x1fu;
  const std::uint64_t fraction = half.bits & 0x3ffu;
  double magnitude = 0.0;
  if (exponent == 0) {
    magnitude = static_cast<double>(fraction) * 0x1p-24;
  } else if (exponent == 0x1f) {
    magnitude = fraction == 0 ? std::numeric_limits<double>::infinity()
                              : std::numeric_limits<double>::quiet_NaN();
  } else {
    magnitude = std::bit_cast<double>((std::uint64_t{exponent + 1008} << 52) | (fraction << 42));
  }
  return (half.bits & 0x8000u) != 0 ? -magnitude : magnitude;
}

// The elements of a strided buffer of T as doubles, as an iterator whose distance a vector's
// range insert can take: it then grows the vector once and fills it in one loop, without zeroing
// it first. It offers only what that insert uses. kStride is the stride when known at compile
// time (a contiguous buffer), else 0. Loads go through memcpy: numpy data need not be aligned.
template <class T, Py_ssize_t kStride>
class Elements {
 public:
  using iterator_category = std::random_access_iterator_tag;
  using value_type = double;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = double;

  Elements(const char* base, Py_ssize_t stride, difference_type index) noexcept
      : base_(base), stride_(stride), index_(index) {}

  double operator*() const noexcept {
    T raw;
    std::memcpy(&raw, base_ + index_ * (kStride != 0 ? kStride : stride_), sizeof raw);
    return to_double(raw);
  }
  Elements& operator++() noexcept {
    ++index_;
    return *this;
  }
  Elements& operator--() noexcept {
    --index_;
    return *this;
  }
  Elements& operator+=(difference_type n) noexcept {
    index_ += n;
    return *this;
  }
  difference_type operator-(const Elements& other) const noexcept { return index_ - other.index_; }
  bool operator==(const Elements& other) const noexcept { return index_ == other.index_; }

 private:
  const char* base_;
  Py_ssize_t stride_;
  difference_type index_;
};

// Assumes a one-axis view of T with its shape and strides; its first element is at buf.
template <class T>
void append_as(const Py_buffer& view, std::vector<double>& values) {
  const char* const base = static_cast<const char*>(view.buf);
  const Py_ssize_t stride = view.strides[0];
  const Py_ssize_t count = view.shape[0];
  if (stride == static_cast<Py_ssize_t>(sizeof(T))) {
    using Contiguous = Elements<T, sizeof(T)>;
    values.insert(values.end(), Contiguous(base, stride, 0), Contiguous(base, stride, count));
  } else {
    using Strided = Elements<T, 0>;
    values.insert(values.end(), Strided(base, stride, 0), Strided(base, stride, count));
  }
}

// Assumes `element` was checked against the view's item size.
void append_elements(const Py_buffer& view, Element element, std::vector<double>& values) {
  switch (element.kind) {
    case Kind::Bool: return append_as<Flag>(view, values);
    case Kind::Float:
      if (element.size == 2) return append_as<Half>(view, values);
      if (element.size == 4) return append_as<float>(view, values);
      return append_as<double>(view, values);
    case Kind::Signed:
      if (element.size == 1) return append_as<std::int8_t>(view, values);
      if (element.size == 2) return append_as<std::int16_t>(view, values);
      if (element.size == 4) return append_as<std::int32_t>(view, values);
      return append_as<std::int64_t>(view, values);
    case Kind::Unsigned:
      if (element.size == 1) return append_as<std::uint8_t>(view, values);
      if (element.size == 2) return append_as<std::uint16_t>(view, values);
      if (element.size == 4) return append_as<std::uint32_t>(view, values);
      return append_as<std::uint64_t>(view, values);
  }
}

bool is_read_size(Py_ssize_t size) { return size == 1 || size == 2 || size == 4 || size == 8; }

}  // namespace

bool is_format(const Py_buffer& view, char code, Py_ssize_t size) noexcept {
  const char* f = view.format == nullptr ? "B" : view.format;
  if (f[0] == '@' || f[0] == '=' || f[0] == '<') ++f;
  return f[0] == code && f[1] == '\0' && view.itemsize == size;
}

bool is_int64_format(const Py_buffer& view) noexcept {
  return view.itemsize == 8 && (is_format(view, 'q', 8) || is_format(view, 'l', 8));
}

bool is_aligned(const Py_buffer& view) noexcept {
  return reinterpret_cast<std::uintptr_t>(view.buf) % alignof(double) == 0;
}

std::optional<base::CoordinateView> numpy_doubles(PyObject* object) noexcept {
  if (Py_TYPE(object)->tp_as_buffer == nullptr || !is_numpy_array(object)) return std::nullopt;
  const auto* const array = reinterpret_cast<const NumpyArrayHead*>(object);
  if (array->nd != 1 || array->descr == nullptr || !is_float64_dtype(array->descr)) {
    return std::nullopt;
  }
  // The kind and type characters confirm the layout before the byte order is trusted; '=' is
  // numpy's mark of native order, which it also gives a '<' float64 on a little-endian machine.
  const auto* const descr = reinterpret_cast<const NumpyDescrHead*>(array->descr);
  const bool native = descr->byteorder == '=' ||
                      (descr->byteorder == '<' && std::endian::native == std::endian::little);
  if (descr->kind != 'f' || descr->type != 'd' || !native) return std::nullopt;
  const Py_ssize_t count = array->dimensions[0];
  const Py_ssize_t stride = array->strides[0];
  if (count > 1 && std::abs(stride) < static_cast<Py_ssize_t>(sizeof(double))) return std::nullopt;
  return base::CoordinateView::strided(array->data, stride, static_cast<std::size_t>(count));
}

bool ReadableBuffer::acquire_export(PyObject* object) {
  const std::optional<Exporter> exporter = exporter_of(object);
  if (!exporter) return false;
  // An object that refuses leaves no error behind: the iteration path meets whatever is wrong
  // with it itself.
  if (!export_.acquire(object, PyBUF_RECORDS_RO)) {
    (void)take();
    return false;
  }
  const Py_buffer& view = export_.view();
  std::optional<Element> element;
  if (view.ndim == 1 && view.shape != nullptr && view.strides != nullptr &&
      view.suboffsets == nullptr && view.format != nullptr) {
    element = element_of(view.format, *exporter);
  }
  if (!element || element->size != view.itemsize || !is_read_size(element->size)) {
    export_.release();
    return false;
  }
  element_ = *element;
  return true;
}

bool ReadableBuffer::holds_doubles() const noexcept {
  const Py_buffer& view = export_.view();
  return element_.kind == Kind::Float && element_.size == sizeof(double) &&
         (view.shape[0] <= 1 ||
          std::abs(view.strides[0]) >= static_cast<Py_ssize_t>(sizeof(double)));
}

base::CoordinateView ReadableBuffer::doubles() const noexcept {
  return base::CoordinateView::strided(export_.view().buf, export_.view().strides[0], size());
}

void ReadableBuffer::append_to(std::vector<double>& values) const {
  append_elements(export_.view(), element_, values);
}

bool ReadableBuffer::holds_narrow_floats() const noexcept {
  return element_.kind == Kind::Float && element_.size < static_cast<Py_ssize_t>(sizeof(double));
}

}  // namespace tondra::host
