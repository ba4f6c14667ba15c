#pragma once
// Converting arguments into plain C++ values and results back into host objects.
//
// Coordinates: any object the host calls a sequence (list, tuple, range, bytes, user classes)
// is read through the iteration protocol into an owned vector of doubles; exact lists and
// tuples are read in place with the same results, and so are the buffers of arrays whose
// elements we know (buffer_read.hpp). Doubles in such a buffer are not even copied: the fits
// read them where they lie, through a view, while the call holds the array. A str is refused
// rather than read as characters; dicts, sets, generators and numbers are not sequences. The
// reported length only sizes the vector: a failing __len__ is ignored, a length no vector could
// hold is a fault ("capacity overflow"), and running out of memory raises the host's MemoryError.
// Items become doubles as float() would make them (ints, bools, __float__, __index__); NaN and
// infinities pass unchecked.
//
// Errors of an argument's conversion pass through `argument_extraction_error`, which prefixes
// exact TypeErrors with "argument 'NAME': ".
//
// The texts of these errors and faults ("capacity overflow", "Can't extract `str` to `Vec`",
// "'T' object cannot be converted to 'Sequence'", ...) are matched exactly by callers and tests.
// They have been the messages since the first release, so they stay, odd names for the targets
// included; they are documented here because this header is their contract.

#include <string_view>
#include <vector>

#include "base/coordinate_view.hpp"
#include "host/buffer_read.hpp"
#include "host/host_error.hpp"

namespace tondra::host {

// TypeError "'T' object cannot be converted to 'TARGET'", T being the qualified name of the
// object's type ("<failed to extract type name>" if that cannot be had).
HostError conversion_error(PyObject* object, std::string_view target);

// An exact TypeError becomes a new TypeError "argument 'NAME': " + str(error) whose __cause__ is
// the original's own __cause__; any other error, subclasses of TypeError included, is returned
// as it is.
HostError argument_extraction_error(std::string_view name, HostError error);

// One item as a double: exact floats are read directly, anything else through the host's float
// conversion.
HostResult<double> extract_element(PyObject* item);

// A sequence's items as doubles, appended to `values` (empty on entry; its contents are
// unspecified after an error). The "Sequence" conversion error for a non-sequence.
HostResult<base::Unit> extract_sequence(PyObject* object, std::vector<double>& values);

// The coordinates of one argument: doubles read where they lie, or converted into a vector.
class Coordinates {
 public:
  base::CoordinateView view() const noexcept {
    return in_place_ ? in_place_view_ : base::CoordinateView(values_);
  }

 private:
  friend HostResult<base::Unit> extract_coordinates(PyObject* object, std::string_view name,
                                                    Coordinates& coordinates, Coordinates* earlier);
  // Copies the doubles read in place into values_ and lets the buffer go.
  void take_copy();

  ReadableBuffer buffer_;
  std::vector<double> values_;
  base::CoordinateView in_place_view_;
  bool in_place_ = false;
};

// The coordinate argument NAME into `coordinates` (empty on entry), read in place or as
// `extract_sequence` reads it, after refusing str; errors prefixed. `earlier`, when given, is an
// argument converted before this one: if it was read in place, it is copied before this
// conversion runs any user code (__float__, __iter__), which might write into its memory. A fit
// then sees what the arguments held when each was converted, whatever their types.
HostResult<base::Unit> extract_coordinates(PyObject* object, std::string_view name,
                                           Coordinates& coordinates,
                                           Coordinates* earlier = nullptr);

// The optional text argument NAME: `default_text` when absent (null) or None; otherwise a str
// (subclasses too) as UTF-8, borrowed from the object, errors prefixed.
HostResult<std::string_view> extract_text(PyObject* object, std::string_view name,
                                          std::string_view default_text);

// A new host list holding the values as floats. If the host cannot make the list or a float,
// it prints its error and the call faults with "Python API call failed".
PyRef to_list(std::vector<double> values);

}  // namespace tondra::host
