#pragma once
// KV: the diagnostics record a solver step may hand back (for example which simplex move was
// taken). Keys are texts; values are numbers or texts. Nothing in the run loop reads it.
//
// Keys and text values are static texts (literals, names of enumerators): the record keeps views
// of them, never copies, and holds at most kCapacity entries in place, so a solver can hand one
// back on every step without allocating. More entries than that are a broken invariant (a fault).

#include <array>
#include <cstddef>
#include <string_view>
#include <variant>

#include "base/fault.hpp"

namespace tondra::optim {

using KvValue = std::variant<double, std::string_view>;

class KV {
 public:
  static constexpr std::size_t kCapacity = 4;

  struct Entry {
    std::string_view key;
    KvValue value;
    bool operator==(const Entry&) const = default;
  };

  // An empty record.
  KV() = default;

  // Inserts or replaces one entry; returns the record so entries can be chained.
  KV& insert(std::string_view key, KvValue value,
             base::SourcePos where = base::SourcePos::here()) &;
  KV insert(std::string_view key, KvValue value,
            base::SourcePos where = base::SourcePos::here()) &&;

  // `a` with every entry of `b` inserted: an entry of `b` replaces one of `a` with the same key.
  static KV merge(KV a, const KV& b);

  // The entry for `key`, or null when there is none.
  const KvValue* get(std::string_view key) const;

  // The entries in the order their keys were first inserted.
  const Entry* begin() const { return entries_.data(); }
  const Entry* end() const { return entries_.data() + size_; }
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }

  // Equal when they hold the same entries, whatever their order.
  bool operator==(const KV& other) const;

 private:
  std::array<Entry, kCapacity> entries_{};
  std::size_t size_ = 0;
};

}  // namespace tondra::optim
