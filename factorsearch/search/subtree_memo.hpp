// Identical subtrees of the genetic search: one value per subtree text, least recently used dropped
// first. A value costs about one dates x stocks panel, so the memory bound is a count of entries.
#pragma once

#include <list>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "factorsearch/expr/walk.hpp"

namespace factorsearch {

class SubtreeMemo final : public NodeMemo {
 public:
  explicit SubtreeMemo(std::size_t capacity) : capacity_(capacity) {}

  // The formula about to be walked: keys[i] names the subtree at position i ("" when it is not
  // kept: fields, and the whole formula, which the caller's fitness cache already shares).
  void bind(std::vector<std::string> keys, std::vector<std::size_t> ends) {
    keys_ = std::move(keys);
    ends_ = std::move(ends);
  }
  bool enabled() const { return capacity_ > 0; }

  const Value *find(std::size_t i, std::size_t &end) override {
    if (!enabled() || i >= keys_.size() || keys_[i].empty()) return nullptr;
    auto it = index_.find(keys_[i]);
    if (it == index_.end()) return nullptr;
    lru_.splice(lru_.begin(), lru_, it->second);
    ++hits_;
    end = ends_[i];
    return &it->second->second;
  }

  void keep(std::size_t i, const Value &v) override {
    if (!enabled() || i >= keys_.size() || keys_[i].empty() || index_.count(keys_[i])) return;
    lru_.emplace_front(keys_[i], v);
    index_[keys_[i]] = lru_.begin();
    while (lru_.size() > capacity_) {
      index_.erase(lru_.back().first);
      lru_.pop_back();
    }
  }

  std::int64_t take_hits() { return std::exchange(hits_, 0); }

 private:
  std::size_t capacity_;
  std::list<std::pair<std::string, Value>> lru_;
  std::unordered_map<std::string, std::list<std::pair<std::string, Value>>::iterator> index_;
  std::vector<std::string> keys_;
  std::vector<std::size_t> ends_;
  std::int64_t hits_ = 0;
};

}  // namespace factorsearch
