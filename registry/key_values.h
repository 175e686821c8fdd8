// The values of one key, held in memory while a run saves its changes in batches: a script
// works on one key line after line, and each value line asks for the old value before it sets
// the new one. Only this connection writes during a batch, so the copy stays exact as long as
// every write to the key goes through it; the owner drops it whenever that is not sure.
#ifndef DORVALEX_REGISTRY_KEY_VALUES_H_
#define DORVALEX_REGISTRY_KEY_VALUES_H_

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/ascii_case.h"
#include "registry/tree_store.h"

// Folded names and data lie back to back in one buffer, found through an open-addressing
// table of entry numbers: holding a key costs no allocation per value, and dropping it none
// per value either.
class KeyValues {
 public:
  // A key with more values or bytes than this is not held: its lines ask the store each time.
  static constexpr size_t kMaxValues = 1 << 20;
  static constexpr size_t kMaxBytes = 64 << 20;

  // One held value; its data stays valid until the held values next change.
  struct Value {
    int64_t id = 0;
    uint32_t type = 0;
    std::string_view data;
  };

  bool Holds(KeyId key) const { return held_ && key_ == key; }
  // The key was found too large to hold since the last Drop (holding other keys meanwhile
  // keeps the mark): its lines go to the store without listing it again, so that each line
  // costs the same whatever the key's size.
  bool TooLarge(KeyId key) const { return large_ == key && key != kNoKeyId; }
  void MarkTooLarge(KeyId key) {
    Clear();
    held_ = false;
    large_ = key;
  }
  // Holds `key` with no values: a new key, or one whose values Add gives next.
  void Hold(KeyId key) {
    Clear();
    key_ = key;
    held_ = true;
  }
  // Adds a listed value of the held key (whose fold is not held yet).
  void Add(const ListedValue& value) {
    FoldAsciiCaseInto(value.name, &fold_);
    Put(fold_, value.id, value.type, value.data);
  }
  bool Find(std::string_view fold, Value* value) const {
    const uint32_t entry = Lookup(fold);
    if (entry == kNone) return false;
    const Entry& e = entries_[entry];
    value->id = e.id;
    value->type = e.type;
    value->data = std::string_view(bytes_).substr(e.dataAt, e.dataSize);
    return true;
  }
  // A value the held key did not have.
  void Put(std::string_view fold, int64_t id, uint32_t type, std::string_view data) {
    Entry e;
    e.id = id;
    e.type = type;
    e.foldAt = bytes_.size();
    e.foldSize = static_cast<uint32_t>(fold.size());
    bytes_.append(fold);
    e.dataAt = bytes_.size();
    e.dataSize = static_cast<uint32_t>(data.size());
    bytes_.append(data);
    live_ += fold.size() + data.size();
    ++count_;
    entries_.push_back(e);
    if (count_ > kMaxValues || live_ > kMaxBytes) return MarkTooLarge(key_);
    if ((used_ + 1) * 2 > slots_.size()) Rehash();
    Place(fold, static_cast<uint32_t>(entries_.size() - 1));
  }
  // New type and data for the held value of `fold`, which exists.
  void Replace(std::string_view fold, uint32_t type, std::string_view data) {
    Entry& e = entries_[Lookup(fold)];
    live_ += data.size();
    live_ -= e.dataSize;
    e.type = type;
    if (data.size() <= e.dataSize) {
      if (!data.empty()) std::memcpy(bytes_.data() + e.dataAt, data.data(), data.size());
    } else {
      e.dataAt = bytes_.size();
      bytes_.append(data);
    }
    e.dataSize = static_cast<uint32_t>(data.size());
    if (live_ > kMaxBytes) return MarkTooLarge(key_);
    if (bytes_.size() > 2 * live_ + 4096) Compact();
  }
  void Erase(std::string_view fold) {
    const uint32_t entry = Lookup(fold);
    if (entry == kNone) return;
    Entry& e = entries_[entry];
    slots_[e.slot] = kErased;
    e.slot = kNone;
    live_ -= e.foldSize + e.dataSize;
    --count_;
    if (entries_.size() > 2 * count_ + 64) Compact();
  }
  void Drop() {
    Clear();
    held_ = false;
    large_ = kNoKeyId;
  }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr uint32_t kEmpty = UINT32_MAX;   // a slot never used
  static constexpr uint32_t kErased = UINT32_MAX - 1;  // a slot whose value was erased
  struct Entry {
    int64_t id = 0;
    uint32_t type = 0;
    uint32_t slot = kNone;  // kNone once erased
    size_t foldAt = 0;
    size_t dataAt = 0;
    uint32_t foldSize = 0;
    uint32_t dataSize = 0;
  };

  void Clear() {
    entries_.clear();
    bytes_.clear();
    slots_.clear();
    used_ = 0;
    count_ = 0;
    live_ = 0;
  }
  std::string_view FoldOf(const Entry& e) const {
    return std::string_view(bytes_).substr(e.foldAt, e.foldSize);
  }
  static size_t Hash(std::string_view fold) { return std::hash<std::string_view>()(fold); }
  uint32_t Lookup(std::string_view fold) const {
    // A script applied again names a key's values in the order they were listed: the value
    // found last and the one after it are tried before the table, which a large key would
    // reach in scattered places.
    for (uint32_t guess : {hint_, hint_ + 1}) {
      if (guess < entries_.size() && entries_[guess].slot != kNone &&
          FoldOf(entries_[guess]) == fold)
        return hint_ = guess;
    }
    if (slots_.empty()) return kNone;
    const size_t mask = slots_.size() - 1;
    for (size_t at = Hash(fold) & mask;; at = (at + 1) & mask) {
      const uint32_t slot = slots_[at];
      if (slot == kEmpty) return kNone;
      if (slot != kErased && FoldOf(entries_[slot]) == fold) return hint_ = slot;
    }
  }
  // Puts entry `entry` into a free slot of the table, which has one.
  void Place(std::string_view fold, uint32_t entry) {
    const size_t mask = slots_.size() - 1;
    size_t at = Hash(fold) & mask;
    while (slots_[at] != kEmpty) at = (at + 1) & mask;
    slots_[at] = entry;
    entries_[entry].slot = static_cast<uint32_t>(at);
    ++used_;
  }
  // A table at least four times the live values, without erased slots.
  void Rehash() {
    size_t size = 16;
    while (size < 4 * (count_ + 1)) size *= 2;
    slots_.assign(size, kEmpty);
    used_ = 0;
    for (uint32_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].slot != kNone) Place(FoldOf(entries_[i]), i);
    }
  }
  // Keeps only the live values, their names and data in a buffer of their size.
  void Compact() {
    std::string bytes;
    bytes.reserve(live_);
    size_t kept = 0;
    for (Entry e : entries_) {
      if (e.slot == kNone) continue;
      const size_t foldAt = bytes.size();
      bytes.append(bytes_, e.foldAt, e.foldSize);
      const size_t dataAt = bytes.size();
      bytes.append(bytes_, e.dataAt, e.dataSize);
      e.foldAt = foldAt;
      e.dataAt = dataAt;
      entries_[kept++] = e;
    }
    entries_.resize(kept);
    bytes_.swap(bytes);
    Rehash();
  }

  KeyId key_ = 0;
  KeyId large_ = kNoKeyId;
  bool held_ = false;
  std::vector<Entry> entries_;  // in the order they were put
  std::string bytes_;
  std::vector<uint32_t> slots_;  // a power of two of entry numbers, kEmpty or kErased
  size_t used_ = 0;   // slots not kEmpty
  size_t count_ = 0;  // values held
  size_t live_ = 0;   // bytes of the held values' folds and data
  mutable uint32_t hint_ = 0;  // the entry Lookup found last
  std::string fold_;  // Add's buffer
};

#endif  // DORVALEX_REGISTRY_KEY_VALUES_H_
