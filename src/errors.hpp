#pragma once
// LSQError: the least-squares fit's wrapper around an optimiser error. It is never shown to the
// host as a type of its own; the fit unwraps it into a fault, whose message carries its debug
// text "LSQError(<the optimiser error's debug text>)".

#include <string>

#include "optim/core/optim_error.hpp"

namespace tondra {

struct LSQError {
  optim::OptimError error;
};

std::string debug_text(const LSQError& e);

}  // namespace tondra
