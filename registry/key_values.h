// The values of one key, held in memory while a run saves its changes in batches: a script
// works on one key line after line, and each value line asks for the old value before it sets
// the new one. Only this connection writes during a batch, so the copy stays exact as long as
// every write to the key goes through it; the owner drops it whenever that is not sure.
#ifndef DORVALEX_REGISTRY_KEY_VALUES_H_
#define DORVALEX_REGISTRY_KEY_VALUES_H_

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/ascii_case.h"
#include "registry/key_names.h"
#include "registry/tree_store.h"

class KeyValues {
 public:
  // A key with more values or bytes than this is not held: its lines ask the store each time.
  static constexpr size_t kMaxValues = 4096;
  static constexpr size_t kMaxBytes = 4 << 20;

  bool Holds(KeyId key) const { return held_ && key_ == key; }
  // The key was found too large to hold since the last Drop (holding other keys meanwhile
  // keeps the mark): its lines go to the store without listing it again, so that each line
  // costs the same whatever the key's size.
  bool TooLarge(KeyId key) const { return large_ == key && key != kNoKeyId; }
  void MarkTooLarge(KeyId key) {
    held_ = false;
    rows_.clear();
    bytes_ = 0;
    large_ = key;
  }
  // Holds `rows`, every value of `key`, unless they exceed the bounds.
  void Hold(KeyId key, std::vector<ValueRow> rows) {
    rows_.clear();
    bytes_ = 0;
    key_ = key;
    held_ = true;
    for (ValueRow& row : rows) {
      std::string fold = FoldName(row.name);
      Put(fold, std::move(row));
      if (!held_) break;
    }
  }
  // Adds a listed value of the held key (whose fold is not held yet).
  void Add(const ListedValue& value) {
    fold_.assign(value.name);
    for (char& c : fold_) c = FoldAsciiCase(c);
    ValueRow& row = rows_[fold_];
    row.id = value.id;
    row.name.assign(value.name);
    row.type = value.type;
    row.data.assign(value.data);
    row.dataSize = static_cast<uint32_t>(value.data.size());
    bytes_ += fold_.size() + row.name.size() + row.data.size();
    if (rows_.size() > kMaxValues || bytes_ > kMaxBytes) MarkTooLarge(key_);
  }
  const ValueRow* Find(const std::string& fold) const {
    auto found = rows_.find(fold);
    return found == rows_.end() ? nullptr : &found->second;
  }
  void Put(const std::string& fold, ValueRow row) {
    ValueRow& slot = rows_[fold];
    bytes_ += fold.size() + row.name.size() + row.data.size();
    bytes_ -= slot.name.size() + slot.data.size() + (slot.id ? fold.size() : 0);
    slot = std::move(row);
    if (rows_.size() > kMaxValues || bytes_ > kMaxBytes) MarkTooLarge(key_);
  }
  // Gives the held value of `fold`, which exists, new type and data.
  void Replace(const std::string& fold, uint32_t type, const uint8_t* data, uint32_t size) {
    ValueRow& row = rows_.find(fold)->second;
    bytes_ += size;
    bytes_ -= row.data.size();
    row.type = type;
    row.data.assign(reinterpret_cast<const char*>(data), size);
    row.dataSize = size;
    if (bytes_ > kMaxBytes) MarkTooLarge(key_);
  }
  void Erase(const std::string& fold) {
    auto found = rows_.find(fold);
    if (found == rows_.end()) return;
    bytes_ -= fold.size() + found->second.name.size() + found->second.data.size();
    rows_.erase(found);
  }
  void Drop() {
    held_ = false;
    rows_.clear();
    bytes_ = 0;
    large_ = kNoKeyId;
  }

 private:
  KeyId key_ = 0;
  KeyId large_ = kNoKeyId;
  bool held_ = false;
  size_t bytes_ = 0;
  std::unordered_map<std::string, ValueRow> rows_;
  std::string fold_;  // Add's buffer
};

#endif  // DORVALEX_REGISTRY_KEY_VALUES_H_
