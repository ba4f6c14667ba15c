#include "optim/core/problem.hpp"

namespace tondra::optim {

void fault_none(base::SourcePos where) {
  base::fault("called `Option::unwrap()` on a `None` value", where);
}

}  // namespace tondra::optim
