#pragma once
// The columns of a call's result: fresh bytearrays, zeroed, whose memory the engine fills in
// place through spans of their items (the kit reads them with numpy.frombuffer), packed at the
// end into one tuple. The spans are written with the lock let go; nothing else can reach the
// bytearrays until the tuple is returned.

#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

#include "host/compat.hpp"
#include "host/py_ref.hpp"

namespace tondra::kit {

// A fresh bytearray of `count` zeroed items of T, its memory lent as `span`; null with
// MemoryError pending when the host has no memory for it.
template <class T>
host::PyRef new_column(std::size_t count, std::span<T>& span) {
  host::PyRef bytes = host::PyRef::steal(
      PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(T))));
  if (!bytes) return bytes;
  span = std::span<T>(reinterpret_cast<T*>(PyByteArray_AS_STRING(bytes.get())), count);
  std::memset(span.data(), 0, count * sizeof(T));
  return bytes;
}

class Columns {
 public:
  explicit Columns(std::size_t expected) { columns_.reserve(expected); }

  // Adds a column of `count` items of T, lent as `span`; after a failure adds nothing more.
  template <class T>
  void add(std::size_t count, std::span<T>& span) {
    if (failed_) return;
    host::PyRef column = new_column(count, span);
    failed_ = !column;
    if (!failed_) columns_.push_back(std::move(column));
  }
  // Adds a column of `count` items for each span of `out` named, in order.
  template <class Out, class... Spans>
  void add_each(std::size_t count, Out& out, Spans Out::*... spans) {
    (add(count, out.*spans), ...);
  }
  // False once a column could not be made (MemoryError pending).
  bool ok() const { return !failed_; }

  // The columns, in the order added, and then `extra` (a new reference, stolen; null for none)
  // as one tuple; null with an error pending when the tuple cannot be made.
  PyObject* pack(host::PyRef extra = {});

 private:
  std::vector<host::PyRef> columns_;
  bool failed_ = false;
};

}  // namespace tondra::kit
