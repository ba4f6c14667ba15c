#pragma once
// FuncCounts: how many times each kind of evaluation has been asked for. A kind has an entry once
// counted at least once (added to, even by 0); an absent entry is not the same as a count of 0.
// The counters are plain fields, so counting costs an add; the texts "cost_count" and
// "gradient_count" name them for diagnostics and for lookups by name.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/fault.hpp"

namespace tondra::optim {

enum class Evaluation { Cost, Gradient };

inline constexpr std::string_view kCostCount = "cost_count";
inline constexpr std::string_view kGradientCount = "gradient_count";

// The kind a name stands for; absent for any other text.
std::optional<Evaluation> evaluation_named(std::string_view name);

class FuncCounts {
 public:
  static constexpr std::size_t kKinds = 2;

  // Adds `amount` to the count of `kind`, creating the entry at 0 first.
  void add(Evaluation kind, std::uint64_t amount) {
    Entry& e = entries_[index(kind)];
    e.present = true;
    e.count += amount;
  }
  // Copies every entry of `other` over ours; our entries that `other` lacks stay.
  void assign_present(const FuncCounts& other);

  bool contains(Evaluation kind) const { return entries_[index(kind)].present; }
  // True while nothing has been counted.
  bool empty() const { return !contains(Evaluation::Cost) && !contains(Evaluation::Gradient); }
  // The count, or 0 when there is no entry.
  std::uint64_t count_or_zero(Evaluation kind) const { return entries_[index(kind)].count; }

  // Lookups by name. at and contains fault on a name that is not a counter's; at faults on an
  // absent entry too; operator[] creates the entry at 0.
  bool contains(std::string_view name, base::SourcePos where = base::SourcePos::here()) const;
  std::uint64_t at(std::string_view name, base::SourcePos where = base::SourcePos::here()) const;
  std::uint64_t& operator[](std::string_view name);

  bool operator==(const FuncCounts&) const = default;

 private:
  struct Entry {
    std::uint64_t count = 0;
    bool present = false;
    bool operator==(const Entry&) const = default;
  };
  static std::size_t index(Evaluation kind) { return static_cast<std::size_t>(kind); }
  static Evaluation kind_named(std::string_view name, base::SourcePos where);

  std::array<Entry, kKinds> entries_{};
};

}  // namespace tondra::optim
