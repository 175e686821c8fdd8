// What the tree core has resolved: child ids by (parent id, folded name) and the ids known
// to exist, so that a path is not looked up level by level on every call. Valid only while
// nobody else changed the store; the owner clears it when that happens.
#ifndef DORVALEX_REGISTRY_KEY_CACHE_H_
#define DORVALEX_REGISTRY_KEY_CACHE_H_

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "registry/tree_store.h"

class KeyCache {
 public:
  bool FindChild(KeyId parent, std::string_view fold, KeyId* child) const {
    // Looked up through one buffer: a script's lines look up the same paths again and again.
    lookup_.resize(sizeof parent);
    std::memcpy(lookup_.data(), &parent, sizeof parent);
    lookup_.append(fold);
    auto found = children_.find(lookup_);
    if (found == children_.end()) return false;
    *child = found->second;
    return true;
  }
  void AddChild(KeyId parent, std::string_view fold, KeyId child) {
    if (children_.size() >= kMaxEntries) Clear();
    children_[Slot(parent, fold)] = child;
    live_.insert(child);
  }
  bool IsLive(KeyId id) const { return live_.count(id) != 0; }
  void AddLive(KeyId id) {
    if (live_.size() >= kMaxEntries) Clear();
    live_.insert(id);
  }
  void RemoveChild(KeyId parent, std::string_view fold, KeyId child) {
    children_.erase(Slot(parent, fold));
    live_.erase(child);
    ++epoch_;
  }
  void Clear() {
    children_.clear();
    live_.clear();
    ++epoch_;
  }
  // Changes whenever a key leaves the cache: what was resolved through it may be stale.
  uint64_t epoch() const { return epoch_; }

 private:
  // Small enough that a walk of the whole store (the full backup) keeps its memory bounded,
  // large enough for the keys a script works on.
  static constexpr size_t kMaxEntries = 1 << 14;

  static std::string Slot(KeyId parent, std::string_view fold) {
    std::string slot(sizeof parent, '\0');
    std::memcpy(slot.data(), &parent, sizeof parent);
    slot.append(fold);
    return slot;
  }

  std::unordered_map<std::string, KeyId> children_;
  mutable std::string lookup_;
  std::unordered_set<KeyId> live_;
  uint64_t epoch_ = 0;
};

#endif  // DORVALEX_REGISTRY_KEY_CACHE_H_
