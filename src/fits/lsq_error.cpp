#include "fits/lsq_error.hpp"

namespace tondra {

std::string debug_text(const LSQError& e) { return "LSQError(" + optim::debug_text(e.error) + ")"; }

}  // namespace tondra
