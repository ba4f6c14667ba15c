#include "optim/math/vector.hpp"

#include <string>

namespace tondra::optim {

void Vector::fault_capacity(const std::size_t n, const base::SourcePos where) {
  base::fault("vector of " + std::to_string(n) + " elements exceeds the capacity of " +
                  std::to_string(kCapacity),
              where);
}

}  // namespace tondra::optim
