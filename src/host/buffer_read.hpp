#pragma once
// Reading coordinates straight from memory. Iterating a numpy array makes one scalar object per
// element and converts each through the host; for the few exporters whose elements we know how
// the host would convert, reading their buffer gives the same doubles at the speed of a copy.
//
// Read this way: an exact numpy.ndarray (of the numpy already imported; numpy is never imported
// here), array.array or memoryview whose buffer has one axis, any stride (negative too), native
// byte order, and elements of one of these kinds: bool, signed or unsigned integers of 1, 2, 4
// or 8 bytes, floats of 2, 4 or 8 bytes. Each element becomes exactly what iterating the object
// and converting the item would give: floats widen exactly, integers round to nearest-even as
// the host's float() does, a bool is 1.0 or 0.0. NaN of 2- and 4-byte floats is the exception:
// exporters differ in what they make of its payload, so such an element is taken from the
// object itself, as iteration would.
//
// Everything else (subclasses, other types, other element kinds, byte-swapped data, zero or
// several axes, a buffer the object refuses to export) is left to the iteration path.
//
// Doubles of this machine's byte order whose elements do not overlap (a stride of at least eight
// bytes either way) need no conversion at all: the fits read them where they lie, through a
// view, while the export is held (for numpy's float64 arrays, while the caller holds the array:
// see numpy_doubles). A stride of 0 (a broadcast) makes one stored double look like many; those
// are copied as other elements are, so an impossible length meets the same limits as a copy
// always has.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "base/coordinate_view.hpp"
#include "host/compat.hpp"

namespace tondra::host {

// One export of an object's buffer, held until this is dropped or released: the exporter cannot
// resize or free the memory meanwhile (a numpy array or bytearray refuses to be resized).
class BufferExport {
 public:
  BufferExport() noexcept = default;
  BufferExport(const BufferExport&) = delete;
  BufferExport& operator=(const BufferExport&) = delete;
  ~BufferExport() { release(); }

  // Exports `object`'s buffer as `flags` ask; false, holding nothing and with the host's error
  // pending, when it refuses. Assumes nothing is held.
  bool acquire(PyObject* object, int flags) {
    if (PyObject_GetBuffer(object, &view_, flags) != 0) return false;
    held_ = true;
    return true;
  }
  void release() noexcept {
    if (held_) {
      PyBuffer_Release(&view_);
      held_ = false;
    }
  }
  bool held() const noexcept { return held_; }
  // Assumes held().
  const Py_buffer& view() const noexcept { return view_; }

 private:
  // Filled by the export and read only while held_: left uninitialised, since clearing it would
  // cost a list argument, which never exports, more than reading a short list does.
  Py_buffer view_;
  bool held_ = false;
};

// Whether an export's items are native numbers of struct code `code` and `size` bytes (a '@',
// '=' or '<' prefix allowed), 64-bit integers ('q', or 'l' where it is 8 bytes), and whether
// they may be read in place as 8-byte numbers: a buffer may start at any byte (pickle's
// out-of-band frames do).
bool is_format(const Py_buffer& view, char code, Py_ssize_t size) noexcept;
bool is_int64_format(const Py_buffer& view) noexcept;
bool is_aligned(const Py_buffer& view) noexcept;

// `object`'s items as T (double or std::int64_t) when it lends a one-axis, contiguous, aligned
// run of them, held by `held`; nothing otherwise, with the host's error pending only when it
// lends no buffer at all. Assumes `held` holds nothing.
template <class T>
std::optional<std::span<const T>> aligned_items(BufferExport& held, PyObject* object) {
  static_assert(std::is_same_v<T, double> || std::is_same_v<T, std::int64_t>);
  if (!held.acquire(object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return std::nullopt;
  const Py_buffer& view = held.view();
  const bool typed = std::is_same_v<T, double> ? is_format(view, 'd', 8) : is_int64_format(view);
  if (view.ndim != 1 || !typed || !is_aligned(view)) return std::nullopt;
  return std::span<const T>(static_cast<const T*>(view.buf),
                            static_cast<std::size_t>(view.shape[0]));
}

// The doubles of an exact one-axis float64 numpy.ndarray in native byte order whose elements do
// not overlap, read from the array's own header rather than through an export; nothing (and no
// error) for anything else. Exporting costs numpy an allocation and a format string every time,
// more than reading twenty elements. The caller's reference keeps the memory alive; it may be read
// while no user code runs (which alone could resize or free it).
std::optional<base::CoordinateView> numpy_doubles(PyObject* object) noexcept;

// One export of an object's buffer whose elements are read as described above, held until this
// is dropped: the exporter cannot resize or free the memory meanwhile.
class ReadableBuffer {
 public:
  ReadableBuffer() noexcept = default;
  ReadableBuffer(const ReadableBuffer&) = delete;
  ReadableBuffer& operator=(const ReadableBuffer&) = delete;
  ~ReadableBuffer() { release(); }

  // Exports the buffer of `object` and returns true when its elements are read as described
  // above; returns false, holding nothing and with the host's error indicator as it was, when
  // they are not. Assumes nothing is held.
  bool acquire(PyObject* object) {
    // Most sequences (lists and tuples above all) export nothing: they cost one test.
    const PyBufferProcs* const procs = Py_TYPE(object)->tp_as_buffer;
    return procs != nullptr && procs->bf_getbuffer != nullptr && acquire_export(object);
  }
  void release() noexcept { export_.release(); }
  bool held() const noexcept { return export_.held(); }

  std::size_t size() const noexcept { return static_cast<std::size_t>(export_.view().shape[0]); }

  // True when the elements are doubles that can be read in place through `doubles`.
  bool holds_doubles() const noexcept;
  // Assumes holds_doubles().
  base::CoordinateView doubles() const noexcept;

  // Appends every element as a double; growing `values` may throw std::bad_alloc. All NaNs of
  // 2- and 4-byte floats come out as one NaN; when holds_narrow_floats(), the caller takes each
  // such element from the object's own item.
  void append_to(std::vector<double>& values) const;
  bool holds_narrow_floats() const noexcept;

  enum class Kind { Bool, Signed, Unsigned, Float };
  struct Element {
    Kind kind = Kind::Float;
    Py_ssize_t size = 0;
  };

 private:
  bool acquire_export(PyObject* object);

  BufferExport export_;
  Element element_;  // read only while held
};

}  // namespace tondra::host
