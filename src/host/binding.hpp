#pragma once
// Binding a call's arguments to a function's parameters, by position and by keyword, in the
// host's fast-call convention: `args` holds the `nargs` positional arguments followed by the
// values of the keywords named, in order, by the tuple `kwnames` (null when there are none).
//
// Errors are TypeErrors whose texts match the host's own functions ("F() takes 2 positional
// arguments but 3 were given", "F() missing 1 required positional argument: 'ys'", ...). The
// first problem found is the one reported: too many positional arguments (keywords are then not
// looked at), then each keyword in the caller's order, then the missing required parameters.
// The functions here have no positional-only or keyword-only parameters and no *args/**kwargs.

#include <cstddef>
#include <span>
#include <string_view>

#include "host/host_error.hpp"

namespace tondra::host {

struct FunctionDescription {
  std::string_view function_name;
  // Parameters that may be given by position or by keyword, in order.
  std::span<const std::string_view> positional_parameter_names;
  // How many leading parameters must be supplied; the rest are optional.
  std::size_t required_positional_parameters;
};

// Fills `slots` (one per parameter, all null on entry) with borrowed references to the supplied
// arguments; slots of optional parameters that were not supplied stay null.
HostResult<base::Unit> extract_arguments_fastcall(const FunctionDescription& description,
                                                  PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames, std::span<PyObject*> slots);

}  // namespace tondra::host
