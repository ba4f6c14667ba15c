#include "engine/columns.hpp"

namespace tondra::kit {

PyObject* Columns::pack(host::PyRef extra) {
  const auto count = static_cast<Py_ssize_t>(columns_.size());
  host::PyRef tuple = host::PyRef::steal(PyTuple_New(count + (extra ? 1 : 0)));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyTuple_SET_ITEM(tuple.get(), i, columns_[static_cast<std::size_t>(i)].release());
  }
  if (extra) PyTuple_SET_ITEM(tuple.get(), count, extra.release());
  columns_.clear();
  return tuple.release();
}

}  // namespace tondra::kit
