#include "optim/core/func_counts.hpp"

#include <string>

namespace tondra::optim {

std::optional<Evaluation> evaluation_named(const std::string_view name) {
  if (name == kCostCount) return Evaluation::Cost;
  if (name == kGradientCount) return Evaluation::Gradient;
  return std::nullopt;
}

void FuncCounts::assign_present(const FuncCounts& other) {
  for (std::size_t k = 0; k < kKinds; ++k) {
    if (other.entries_[k].present) entries_[k] = other.entries_[k];
  }
}

Evaluation FuncCounts::kind_named(const std::string_view name, const base::SourcePos where) {
  const std::optional<Evaluation> kind = evaluation_named(name);
  if (!kind) base::fault("no evaluation counter named \"" + std::string(name) + "\"", where);
  return *kind;
}

bool FuncCounts::contains(const std::string_view name, const base::SourcePos where) const {
  return contains(kind_named(name, where));
}

std::uint64_t FuncCounts::at(const std::string_view name, const base::SourcePos where) const {
  const Evaluation kind = kind_named(name, where);
  if (!contains(kind)) base::fault("no count of \"" + std::string(name) + "\" yet", where);
  return count_or_zero(kind);
}

std::uint64_t& FuncCounts::operator[](const std::string_view name) {
  Entry& e = entries_[index(kind_named(name, base::SourcePos::here()))];
  e.present = true;
  return e.count;
}

}  // namespace tondra::optim
