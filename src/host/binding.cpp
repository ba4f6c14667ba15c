#include "host/binding.hpp"

#include <string>
#include <vector>

#include "host/panic.hpp"

namespace tondra::host {
namespace {

std::string full_name(const FunctionDescription& d) { return std::string(d.function_name) + "()"; }

std::string too_many_positional(const FunctionDescription& d, Py_ssize_t given) {
  const std::size_t count = d.positional_parameter_names.size();
  const std::string takes = d.required_positional_parameters == count
                                ? std::to_string(count)
                                : "from " + std::to_string(d.required_positional_parameters) +
                                      " to " + std::to_string(count);
  return full_name(d) + " takes " + takes + " positional arguments but " + std::to_string(given) +
         (given == 1 ? " was" : " were") + " given";
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) list += ',';
      list += i + 1 == names.size() ? " and " : " ";
    }
    list += '\'';
    list += names[i];
    list += '\'';
  }
  return list;
}

std::string missing_positional(const FunctionDescription& d, std::span<PyObject* const> slots) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < d.required_positional_parameters; ++i) {
    if (slots[i] == nullptr) missing.push_back(d.positional_parameter_names[i]);
  }
  return full_name(d) + " missing " + std::to_string(missing.size()) + " required positional " +
         (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing);
}

// The parameter named exactly `name`, or the parameter count if there is none.
std::size_t find_parameter(const FunctionDescription& d, std::string_view name) {
  std::size_t i = 0;
  while (i < d.positional_parameter_names.size() && d.positional_parameter_names[i] != name) ++i;
  return i;
}

}  // namespace

HostResult<base::Unit> extract_arguments_fastcall(const FunctionDescription& description,
                                                  PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames, std::span<PyObject*> slots) {
  const std::size_t parameter_count = description.positional_parameter_names.size();
  const auto given = static_cast<std::size_t>(nargs);
  if (given > parameter_count) {
    return HostError::type_error(too_many_positional(description, nargs));
  }
  for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];

  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);  // borrowed from the call
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    std::size_t index = parameter_count;
    if (utf8 != nullptr) {
      const std::string_view text(utf8, static_cast<std::size_t>(size));
      index = find_parameter(description, text);
      if (index < parameter_count && slots[index] != nullptr) {
        return HostError::type_error(full_name(description) +
                                     " got multiple values for argument '" + std::string(text) +
                                     "'");
      }
    } else {
      // A name UTF-8 cannot carry names no parameter of ours.
      (void)take();
    }
    if (index == parameter_count) {
      return HostError::type_error(full_name(description) +
                                   " got an unexpected keyword argument '" + display_text(name) +
                                   "'");
    }
    slots[index] = args[nargs + k];
  }

  for (std::size_t i = given; i < description.required_positional_parameters; ++i) {
    if (slots[i] == nullptr) {
      return HostError::type_error(missing_positional(description, slots));
    }
  }
  return base::Unit{};
}

}  // namespace tondra::host
