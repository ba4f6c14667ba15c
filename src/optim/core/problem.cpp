#include "optim/core/problem.hpp"

namespace tondra::optim {

void fault_none(host::SourcePos where) {
  host::fault("called `Option::unwrap()` on a `None` value", where);
}

}  // namespace tondra::optim
