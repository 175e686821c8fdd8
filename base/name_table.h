// A set of byte strings, each numbered in the order it was added: the strings lie back to back
// in one buffer and are found through an open-addressing table of their numbers, so that a
// table of a million names costs a few allocations, not one per name, and clearing it frees
// nothing per name either. Callers keep what belongs to each name in vectors indexed by its
// number.
#ifndef DORVALEX_BASE_NAME_TABLE_H_
#define DORVALEX_BASE_NAME_TABLE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class NameTable {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  // Names added since the last Clear, erased ones included: the next name's number.
  uint32_t count() const { return static_cast<uint32_t>(names_.size()); }
  // Bytes of all names added since the last Clear.
  size_t bytes() const { return bytes_.size(); }

  // The number of `name`, or kNone.
  uint32_t Find(std::string_view name) const {
    if (slots_.empty()) return kNone;
    const uint32_t slot = slots_[SlotOf(name)];
    return slot == kFree ? kNone : slot;
  }
  // The number of `name`, which is added first when absent (*added then true).
  uint32_t Insert(std::string_view name, bool* added) {
    if ((used_ + 1) * 2 > slots_.size()) Rehash();
    const size_t at = SlotOf(name);
    *added = slots_[at] == kFree;
    if (!*added) return slots_[at];
    // A free slot met after an erased one: the erased slot is taken instead.
    const size_t place = erasedSeen_ != kNoSlot ? erasedSeen_ : at;
    if (slots_[place] == kFree) ++used_;
    slots_[place] = count();
    names_.push_back(Name{bytes_.size(), static_cast<uint32_t>(name.size())});
    bytes_.append(name);
    return slots_[place];
  }
  // Forgets `name`; its number is not given again. Its number, or kNone when absent.
  uint32_t Erase(std::string_view name) {
    if (slots_.empty()) return kNone;
    const size_t at = SlotOf(name);
    const uint32_t number = slots_[at];
    if (number != kFree) slots_[at] = kErased;
    return number == kFree ? kNone : number;
  }
  std::string_view NameOf(uint32_t number) const {
    const Name& name = names_[number];
    return std::string_view(bytes_).substr(name.at, name.size);
  }
  // Empties the table; a large table's memory is given back.
  void Clear() {
    if (slots_.size() > kSmallTable) {
      slots_ = {};
      names_ = {};
      bytes_ = {};
    } else if (used_ > 0) {
      std::fill(slots_.begin(), slots_.end(), kFree);
    }
    names_.clear();
    bytes_.clear();
    used_ = 0;
  }

 private:
  static constexpr uint32_t kFree = UINT32_MAX;        // a slot never used
  static constexpr uint32_t kErased = UINT32_MAX - 1;  // a slot whose name was erased
  static constexpr size_t kNoSlot = SIZE_MAX;
  static constexpr size_t kSmallTable = 1024;
  struct Name {
    size_t at;
    uint32_t size;
  };

  // The slot holding `name`, or the free slot that ends its probe; notes in erasedSeen_ the
  // first erased slot passed on the way, where a new name may go.
  size_t SlotOf(std::string_view name) const {
    const size_t mask = slots_.size() - 1;
    erasedSeen_ = kNoSlot;
    for (size_t at = std::hash<std::string_view>()(name) & mask;; at = (at + 1) & mask) {
      const uint32_t slot = slots_[at];
      if (slot == kFree) return at;
      if (slot == kErased) {
        if (erasedSeen_ == kNoSlot) erasedSeen_ = at;
      } else if (NameOf(slot) == name) {
        return at;
      }
    }
  }
  // A table at least four times the names kept, without erased slots.
  void Rehash() {
    std::vector<uint32_t> live;
    live.reserve(used_);
    for (uint32_t slot : slots_)
      if (slot != kFree && slot != kErased) live.push_back(slot);
    size_t size = 16;
    while (size < 4 * (live.size() + 1)) size *= 2;
    slots_.assign(size, kFree);
    const size_t mask = size - 1;
    for (uint32_t number : live) {
      size_t at = std::hash<std::string_view>()(NameOf(number)) & mask;
      while (slots_[at] != kFree) at = (at + 1) & mask;
      slots_[at] = number;
    }
    used_ = live.size();
  }

  std::vector<Name> names_;      // by number
  std::string bytes_;
  std::vector<uint32_t> slots_;  // a power of two of numbers, kFree or kErased
  size_t used_ = 0;              // slots not kFree
  mutable size_t erasedSeen_ = kNoSlot;
};

#endif  // DORVALEX_BASE_NAME_TABLE_H_
