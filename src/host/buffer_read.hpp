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

#include <vector>

#include "host/host_error.hpp"

namespace tondra::host {

// Appends the elements of `object` to `values` and returns true when it is read as described
// above; returns false, with `values` and the host's error indicator as they were, when it is
// not. An error comes only from taking a NaN element from the object. Growing `values` may throw
// std::bad_alloc.
HostResult<bool> append_buffer_elements(PyObject* object, std::vector<double>& values);

}  // namespace tondra::host
