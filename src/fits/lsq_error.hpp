#pragma once
// LSQError: the least-squares fit's wrapper around an optimiser error. It is never shown to the
// host as a type of its own; the fit unwraps it into a fault, whose message carries its debug
// text "LSQError(<the optimiser error's debug text>)".

#include <string>
#include <utility>

#include "base/result.hpp"
#include "optim/core/optim_error.hpp"

namespace tondra {

struct LSQError {
  optim::OptimError error;
};

std::string debug_text(const LSQError& e);

// The same result with its optimiser error, if any, wrapped in an LSQError.
template <class T>
base::Result<T, LSQError> wrap_lsq_error(optim::OptimResult<T>&& result) {
  if (!result) return LSQError{std::move(result).error()};
  return std::move(result).value();
}

}  // namespace tondra
