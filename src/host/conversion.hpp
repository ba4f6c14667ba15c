#pragma once
// Converting arguments into plain C++ values and results back into host objects.
//
// Coordinates: any object the host calls a sequence (list, tuple, range, bytes, user classes)
// is read through the iteration protocol into an owned vector of doubles; exact lists and
// tuples are read in place with the same results. A str is refused rather than read as
// characters; dicts, sets, generators and numbers are not sequences. The reported length only
// sizes the vector: a failing __len__ is ignored, a length no vector could hold is a fault
// ("capacity overflow"), and running out of memory raises the host's MemoryError. Items become
// doubles as float() would make them (ints, bools, __float__, __index__); NaN and infinities
// pass unchecked.
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

// The coordinate argument NAME into `values` as `extract_sequence` does, after refusing str;
// errors prefixed.
HostResult<base::Unit> extract_coordinates(PyObject* object, std::string_view name,
                                           std::vector<double>& values);

// The optional text argument NAME: `default_text` when absent (null) or None; otherwise a str
// (subclasses too) as UTF-8, borrowed from the object, errors prefixed.
HostResult<std::string_view> extract_text(PyObject* object, std::string_view name,
                                          std::string_view default_text);

// A new host list holding the values as floats. If the host cannot make the list or a float,
// it prints its error and the call faults with "Python API call failed".
PyRef to_list(std::vector<double> values);

}  // namespace tondra::host
