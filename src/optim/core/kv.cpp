#include "optim/core/kv.hpp"

#include <utility>

namespace tondra::optim {

KV& KV::insert(std::string key, KvValue value) & {
  entries_.insert_or_assign(std::move(key), std::move(value));
  return *this;
}

KV KV::insert(std::string key, KvValue value) && {
  entries_.insert_or_assign(std::move(key), std::move(value));
  return std::move(*this);
}

KV KV::merge(KV a, KV b) {
  for (auto& [key, value] : b.entries_) a.entries_.insert_or_assign(key, std::move(value));
  return a;
}

const KvValue* KV::get(std::string_view key) const {
  const auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : &it->second;
}

}  // namespace tondra::optim
