#include "optim/core/func_counts.hpp"

namespace tondra::optim {

void FuncCounts::assign_present(const FuncCounts& other) {
  for (std::size_t k = 0; k < kKinds; ++k) {
    if (other.entries_[k].present) entries_[k] = other.entries_[k];
  }
}

}  // namespace tondra::optim
