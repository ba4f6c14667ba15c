#pragma once
// FuncCounts: how many times each kind of evaluation has been asked for. A kind has an entry once
// counted at least once (added to, even by 0); an absent entry is not the same as a count of 0.
// The counters are plain fields, one per kind, so counting costs an add.

#include <array>
#include <cstddef>
#include <cstdint>

namespace tondra::optim {

enum class Evaluation { Cost, Gradient };

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

  bool operator==(const FuncCounts&) const = default;

 private:
  struct Entry {
    std::uint64_t count = 0;
    bool present = false;
    bool operator==(const Entry&) const = default;
  };
  static std::size_t index(Evaluation kind) { return static_cast<std::size_t>(kind); }

  std::array<Entry, kKinds> entries_{};
};

}  // namespace tondra::optim
