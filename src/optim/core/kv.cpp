#include "optim/core/kv.hpp"

#include <utility>

namespace tondra::optim {

KV& KV::insert(const std::string_view key, KvValue value, const base::SourcePos where) & {
  for (std::size_t k = 0; k < size_; ++k) {
    if (entries_[k].key == key) {
      entries_[k].value = value;
      return *this;
    }
  }
  base::check(size_ < kCapacity, "size < kCapacity", where);
  entries_[size_++] = Entry{key, value};
  return *this;
}

KV KV::insert(const std::string_view key, KvValue value, const base::SourcePos where) && {
  insert(key, value, where);
  return std::move(*this);
}

KV KV::merge(KV a, const KV& b) {
  for (const Entry& e : b) a.insert(e.key, e.value);
  return a;
}

const KvValue* KV::get(const std::string_view key) const {
  for (std::size_t k = 0; k < size_; ++k) {
    if (entries_[k].key == key) return &entries_[k].value;
  }
  return nullptr;
}

bool KV::operator==(const KV& other) const {
  if (size_ != other.size_) return false;
  for (const Entry& e : *this) {
    const KvValue* theirs = other.get(e.key);
    if (theirs == nullptr || !(*theirs == e.value)) return false;
  }
  return true;
}

}  // namespace tondra::optim
