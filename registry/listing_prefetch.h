// A window onto one listing of a key (its values or its subkeys) kept with an open handle:
// consecutive rows read by one statement, so that enumerating index 0, 1, 2... costs one
// statement per window instead of one per row, and the key's information query can be
// answered from the same rows when they are the whole listing.
#ifndef DORVALEX_REGISTRY_LISTING_PREFETCH_H_
#define DORVALEX_REGISTRY_LISTING_PREFETCH_H_

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "registry/tree_store.h"

enum class Listing { kValues, kSubkeys };

class ListingWindow {
 public:
  struct Row {
    int64_t id = 0;     // the value's id, or the child key's id
    uint32_t type = 0;  // a value's type; for a subkey 1 when it has subkeys itself
    uint32_t nameOffset = 0;
    uint32_t nameSize = 0;
    uint32_t otherOffset = 0;  // a value's data, or a child's folded name
    uint32_t otherSize = 0;
  };

  // A window holds at most this many rows, and stops taking rows once their texts pass
  // kMaxBytes (a single value larger than that is still held whole). An enumeration that
  // starts cold reads kFirstRows and doubles with every window it continues into, so that a
  // caller who reads index 0 again after every change (a recursive delete) reads few rows.
  static constexpr uint32_t kMaxRows = 256;
  static constexpr uint32_t kFirstRows = 16;
  static constexpr size_t kMaxBytes = 256 * 1024;
  static constexpr size_t kReserveBytes = 1024;

  explicit ListingWindow(Listing listing) : listing_(listing) {}

  // Row `index` of the listing of key `key` in the store as of `generation` (which changes
  // whenever the store may have changed): from the window when it holds it; from the next
  // window when index follows the window's end; otherwise from a window read at index.
  // 259 past the end. *row stays valid until the next call on this window.
  RegStatus Seek(TreeStore& store, KeyId key, uint64_t generation, uint32_t index,
                 const Row** row) {
    if (!Current(key, generation) || index < first_) {
      if (RegStatus status = Read(store, key, generation, index, false, FirstLimit(index)))
        return status;
    } else if (index >= End()) {
      if (ended_) {
        Release();  // the listing was read to its end: keep no rows behind
        return kErrorNoMoreItems;
      }
      const bool continuing = index == End() && !rows_.empty();
      const uint32_t limit = continuing ? nextLimit_ : FirstLimit(index);
      if (RegStatus status = Read(store, key, generation, index, continuing, limit))
        return status;
    }
    if (index >= End()) return kErrorNoMoreItems;
    *row = &rows_[index - first_];
    return kErrorSuccess;
  }

  // The longest name (and, for values, the largest data) over the whole listing: from a
  // window that holds all of it, reading the first window when there is none; from the
  // store's aggregate query when the listing is longer than a window.
  RegStatus Longest(TreeStore& store, KeyId key, uint64_t generation, uint32_t* name,
                    uint32_t* other) {
    if (!(Current(key, generation) && first_ == 0 && ended_)) {
      if (RegStatus status = Read(store, key, generation, 0, false, kMaxRows)) return status;
    }
    if (!ended_) {
      if (listing_ == Listing::kSubkeys) return store.LongestSubkey(key, name);
      return store.LongestValue(key, name, other);
    }
    *name = 0;
    if (other) *other = 0;
    for (const Row& row : rows_) {
      *name = std::max(*name, row.nameSize);
      if (other) *other = std::max(*other, row.otherSize);
    }
    return kErrorSuccess;
  }

  std::string_view Name(const Row& row) const {
    return std::string_view(bytes_).substr(row.nameOffset, row.nameSize);
  }
  std::string_view Other(const Row& row) const {
    return std::string_view(bytes_).substr(row.otherOffset, row.otherSize);
  }

  // Makes the window the whole listing, empty, of a key known to list nothing as of
  // `generation`, unless it already holds that key's rows.
  void MarkEmpty(KeyId key, uint64_t generation) {
    if (!Current(key, generation)) StartWhole(key, generation);
  }

  // Releases the window when it had to take a value larger than a window whole. A window
  // stops taking rows once it passes kMaxBytes, so one that holds more than twice that ends
  // with such a value; one that just passed kMaxBytes is a full window and is kept.
  void ReleaseIfOversized() {
    if (bytes_.size() > 2 * kMaxBytes) Release();
  }

  // The memory the window keeps, in bytes.
  size_t HeldBytes() const { return bytes_.capacity() + rows_.capacity() * sizeof(Row); }

  // Forgets the rows and gives their memory back (assigning an empty string would keep the
  // old buffer: only a swap with a new string lets it go).
  void Release() {
    generation_ = 0;
    std::vector<Row>().swap(rows_);
    std::string().swap(bytes_);
  }

 private:
  // Empties the window for the whole listing of `key` as of `generation`.
  void StartWhole(KeyId key, uint64_t generation) {
    rows_.clear();
    bytes_.clear();
    key_ = key;
    generation_ = generation;
    first_ = 0;
    ended_ = true;
  }

  bool Current(KeyId key, uint64_t generation) const {
    return generation_ != 0 && generation_ == generation && key_ == key;
  }

  // Appends a row; false once the window is full by bytes.
  bool Add(int64_t id, uint32_t type, std::string_view name, std::string_view other) {
    Row row;
    row.id = id;
    row.type = type;
    row.nameOffset = static_cast<uint32_t>(bytes_.size());
    row.nameSize = static_cast<uint32_t>(name.size());
    bytes_.append(name);
    row.otherOffset = static_cast<uint32_t>(bytes_.size());
    row.otherSize = static_cast<uint32_t>(other.size());
    bytes_.append(other);
    rows_.push_back(row);
    return bytes_.size() < kMaxBytes;
  }

  uint32_t End() const { return first_ + static_cast<uint32_t>(rows_.size()); }
  // A window read from the start may be wanted whole soon; one read elsewhere is a probe.
  static uint32_t FirstLimit(uint32_t index) { return index == 0 ? kFirstRows : 1; }

  // Replaces the window by up to `limit` rows from `index` on; `continuing`: index follows
  // the current window, whose last row marks where to go on.
  RegStatus Read(TreeStore& store, KeyId key, uint64_t generation, uint32_t index,
                 bool continuing, uint32_t limit) {
    int64_t afterId = 0;
    std::string afterFold;
    if (continuing) {
      afterId = rows_.back().id;
      if (listing_ == Listing::kSubkeys) afterFold = Other(rows_.back());
    }
    generation_ = 0;  // empty until the read succeeds
    rows_.clear();
    bytes_.clear();
    rows_.reserve(std::min(limit, kFirstRows));
    bytes_.reserve(kReserveBytes);
    bool ended = false;
    RegStatus status;
    if (listing_ == Listing::kValues) {
      status = store.ListValues(
          key, index, continuing ? &afterId : nullptr, limit,
          [&](const ListedValue& value) {
            return Add(value.id, value.type, value.name, value.data);
          },
          &ended);
    } else {
      status = store.ListChildren(
          key, index, continuing ? &afterFold : nullptr, limit,
          [&](const ListedChild& child) {
            return Add(child.id, child.hasChildren ? 1 : 0, child.name, child.fold);
          },
          &ended);
    }
    if (status != kErrorSuccess) {
      Release();  // also the memory of a large value read before the failure
      return status;
    }
    key_ = key;
    generation_ = generation;
    first_ = index;
    ended_ = ended;
    nextLimit_ = std::min(kMaxRows, std::max(limit, kFirstRows / 2) * 2);
    return kErrorSuccess;
  }

  Listing listing_;
  KeyId key_ = 0;
  uint64_t generation_ = 0;  // 0: the window holds nothing
  uint32_t first_ = 0;       // listing index of rows_[0]
  uint32_t nextLimit_ = kFirstRows;
  bool ended_ = false;       // the listing's last row is the window's last row
  std::vector<Row> rows_;
  std::string bytes_;        // the rows' texts back to back
};

#endif  // DORVALEX_REGISTRY_LISTING_PREFETCH_H_
