// One hive file, read through hivex, its changes held in memory per key and written at Save
// into a new copy of the file that replaces the old one whole.
//
// Invariants it keeps (hivex never reuses space, rewrites a key's whole value list on every
// change, and leaves its memory half-changed after a failed write):
//  1. Each changed key's value list and each changed parent's subkey list is written once per
//     Save, whatever number of calls changed it.
//  2. Every change is checked when it is made; what hivex cannot write correctly (long data in
//     hives that need big-data records, keys already holding such data, key names outside
//     ASCII, whose lookup hashes hivex computes wrongly) is refused there with 50, so Save
//     never meets it.
//  3. After any failed hivex write the hive is never written again: that Save and every later
//     call give the failure's code.
//  4. A dirty hive (its sequence numbers differ or its checksum is wrong: Windows keeps
//     changes for it in its log files) may be read, never changed (1009).
#ifndef DORVALEX_REGISTRY_HIVE_HIVE_FILE_H_
#define DORVALEX_REGISTRY_HIVE_HIVE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "registry/hive/hive_disk.h"
#include "registry/win32_codes.h"

// A value as the tool sees it: string types in UTF-8.
struct HiveValue {
  int64_t id = 0;  // unique in the hive while it is open
  std::string name;
  std::string fold;  // FoldName(name)
  uint32_t type = 0;
  std::string data;
};

class HiveFile {
 public:
  // Keys of the hive are numbered from the root (0) in the order they are first reached.
  using Node = uint32_t;
  static constexpr Node kRoot = 0;

  // Opens the hive at `path`. 2: missing; 1009: not a hive, or hivex cannot read it.
  static RegStatus Open(const std::string& path, std::unique_ptr<HiveFile>* hive);
  ~HiveFile();
  HiveFile(const HiveFile&) = delete;
  HiveFile& operator=(const HiveFile&) = delete;

  const std::string& path() const { return path_; }
  bool dirty() const { return !header_.clean; }
  // Whether changes wait for Save.
  bool changed() const { return changed_; }

  // Reads. 1018: the key was deleted. `name` is compared without regard to ASCII case.
  RegStatus FindChild(Node parent, std::string_view name, Node* child);  // 2: none
  // The key's subkeys, ascending by upper-cased name; valid until the next change.
  RegStatus Children(Node key, const std::vector<Node>** children);
  const std::string& Name(Node key) const;
  const std::string& Fold(Node key) const;
  RegStatus HasChildren(Node key, bool* has);
  // The key's values in their order; valid until the next change.
  RegStatus Values(Node key, const std::vector<HiveValue>** values);

  // The levels between the key and the hive's root (0 for the root). 1018: deleted.
  RegStatus Depth(Node key, int64_t* depth);

  // Changes, held until Save. 1009: the hive is dirty; 50: hivex cannot write it correctly;
  // 87: a name past the format's limits. A change that fails leaves everything as it was.
  RegStatus CreateChild(Node parent, std::string_view name, Node* child);
  // 5: the key still has subkeys; 87: the root.
  RegStatus DeleteKey(Node key);
  // Creates the value or replaces its type and data in place (its name and place stay).
  // *id (when given) is the value's id.
  RegStatus SetValue(Node key, std::string_view name, uint32_t type, std::string_view data,
                     int64_t* id = nullptr);
  // Replaces type and data of the value with that id. 2: no such value.
  RegStatus ReplaceValue(Node key, int64_t id, uint32_t type, std::string_view data);
  RegStatus DeleteValue(Node key, std::string_view name);  // 2: no such value

  // Undoing held changes: Rollback undoes all since the last Save; RollbackToMark those since
  // Mark (which it ends, as ReleaseMark does, keeping them). Marks do not nest.
  void Mark();
  void ReleaseMark();
  void RollbackToMark();
  void Rollback();

  // Writes the held changes: the whole hive to a temporary file beside it, synced and renamed
  // over the file. On failure nothing of them is in the file and every later call gives the
  // code.
  RegStatus Save();
  // Save in steps, for hives saved together: WriteCopy prepares `copy` (nothing to publish
  // when it gives 0 and changed() was false), the caller publishes it, then Saved(true) when
  // it was published, Saved(false) when not (the hive is then lost).
  RegStatus WriteCopy(Replacement* copy);
  void Saved(bool published);
  // Drops the held changes; every later call gives 1016.
  void Discard();
  // Whether the file on disk is still the one this hive was read from.
  bool Unchanged() const;

 private:
  struct Key;
  // One held change, enough to undo it.
  struct Undo {
    enum Kind { kCreateKey, kDeleteKey, kAppendValue, kReplaceValue, kDeleteValue } kind;
    Node key;
    size_t index = 0;
    HiveValue old;
    bool valuesChanged = false;  // the key's flag before the change
    bool changed = false;        // the hive's flag before the change
  };
  explicit HiveFile(const std::string& path);
  void UndoTo(size_t size);
  RegStatus CheckData(Key* key, uint32_t type, std::string_view data) const;
  RegStatus Load();
  Key* Live(Node key, RegStatus* status);
  RegStatus LoadChildren(Node key);
  RegStatus LoadValues(Key* key);
  RegStatus CheckChange() const;
  // Writes the changes of `key` and of the keys below it into hivex's copy.
  RegStatus WriteKey(Key* key);
  RegStatus WriteValues(Key* key);

  std::string path_;
  HiveHeader header_;
  platform::FileId fileId_;  // the file read (or last written): a replaced file has another
  struct Handle;
  std::unique_ptr<Handle> hive_;
  std::vector<std::unique_ptr<Key>> keys_;
  bool changed_ = false;
  int64_t lastValueId_ = 0;
  std::vector<Undo> undo_;
  size_t mark_ = SIZE_MAX;
  RegStatus lost_ = kErrorSuccess;
};

// The largest value data a hive keeps in a single cell (longer data needs a big-data record
// in hives of format 1.4 and later).
inline constexpr size_t kMaxCellData = 16344;

#endif  // DORVALEX_REGISTRY_HIVE_HIVE_FILE_H_
