#include "optim/math/vector_math.hpp"

#include <string>

namespace tondra::optim {

void fault_unequal_lengths(std::size_t left, std::size_t right, base::SourcePos where) {
  base::fault("assertion `left == right` failed\n  left: " + std::to_string(left) +
                  "\n right: " + std::to_string(right),
              where);
}

}  // namespace tondra::optim
