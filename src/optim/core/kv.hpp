#pragma once
// KV: the diagnostics record a solver step may hand back (for example which simplex move was
// taken). Keys are texts; values are numbers or texts. Nothing in the run loop reads it.

#include <map>
#include <string>
#include <string_view>
#include <variant>

namespace tondra::optim {

using KvValue = std::variant<double, std::string>;

class KV {
 public:
  // An empty record.
  KV() = default;

  // Inserts or replaces one entry; returns the record so entries can be chained.
  KV& insert(std::string key, KvValue value) &;
  KV insert(std::string key, KvValue value) &&;

  // `a` with every entry of `b` inserted: an entry of `b` replaces one of `a` with the same key.
  static KV merge(KV a, KV b);

  // The entry for `key`, or null when there is none.
  const KvValue* get(std::string_view key) const;

  const std::map<std::string, KvValue, std::less<>>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }

  bool operator==(const KV&) const = default;

 private:
  std::map<std::string, KvValue, std::less<>> entries_;
};

}  // namespace tondra::optim
