#include "optim/math/vector.hpp"

#include <string>

namespace tondra::optim {

std::size_t Vector::checked_size(const std::size_t n, const host::SourcePos where) {
  if (n > kCapacity) {
    host::fault("vector of " + std::to_string(n) + " elements exceeds the capacity of " +
                    std::to_string(kCapacity),
                where);
  }
  return n;
}

}  // namespace tondra::optim
