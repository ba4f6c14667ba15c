#include "optim/core/problem.hpp"

namespace tondra::optim {

void add_count(FuncCounts& counts, const std::string_view key, const std::uint64_t amount) {
  auto it = counts.find(key);
  if (it == counts.end()) it = counts.emplace(std::string(key), 0).first;
  it->second += amount;
}

void fault_none(host::SourcePos where) {
  host::fault("called `Option::unwrap()` on a `None` value", where);
}

}  // namespace tondra::optim
