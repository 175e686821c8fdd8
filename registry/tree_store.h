// A tree of keys and values as the registry core sees it: the small set of calls a storage
// backend gives (the SQLite store, hive files) so that
// tree_registry.cc can build every Win32 rule (handles, roots and their views, access,
// buffers) once on top of any of them.
//
// What every store keeps:
//  1. Keys are nodes with opaque 64-bit ids that the store chooses. An id is never reused
//     while the store is open, so a handle to a deleted key can never reach a newer key;
//     0 names no key.
//  2. Names are byte strings compared without regard to ASCII case. Every call that names a
//     child or a value gets its comparison form ("fold": FoldName of key_names.h) beside or
//     instead of the name as it was written; a key or value keeps the spelling it was
//     created with.
//  3. Children list in ascending order of their folded names (bytes compared as unsigned);
//     values list in creation order, and replacing a value's data keeps its place.
//  4. Every key and value call runs inside a transaction (BeginRead/BeginWrite
//     .. Commit/Rollback); changes become visible to other users of the store at Commit.
//  5. A call that fails leaves the store as it was before the call, except where it says
//     the transaction ended (InTransaction() false afterwards).
//  6. A store may refuse a change it cannot hold (a key outside the files it serves, a mount
//     point itself) with 5; the core hands every store code on to its caller unchanged.
#ifndef DORVALEX_REGISTRY_TREE_STORE_H_
#define DORVALEX_REGISTRY_TREE_STORE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "registry/win32_codes.h"

using KeyId = int64_t;
inline constexpr KeyId kNoKeyId = 0;

// One value found by name. With FindValue(withData false) `data` stays empty and only
// `dataSize` is filled.
struct ValueRow {
  int64_t id = 0;  // the store's id of the value, for ReplaceValueData
  std::string name;
  uint32_t type = 0;
  std::string data;
  uint32_t dataSize = 0;
};

// One row of a listing. The texts belong to the store: valid during the visit only.
struct ListedValue {
  int64_t id = 0;
  std::string_view name;
  uint32_t type = 0;
  std::string_view data;
};
struct ListedChild {
  KeyId id = 0;
  std::string_view name;
  std::string_view fold;
  bool hasChildren = false;  // the child has subkeys of its own
};
// Called for each listed row; false stops the listing after that row.
using ValueVisitor = std::function<bool(const ListedValue&)>;
using ChildVisitor = std::function<bool(const ListedChild&)>;

class TreeStore {
 public:
  virtual ~TreeStore() = default;

  // 0, or the code every call must give because the store could not be opened (1009: not a
  // store; 5: may not be read; ...). Checked by the core before each call.
  virtual RegStatus status() const = 0;
  // The store may be read but not written: the core refuses writes with 5.
  virtual bool readOnly() const = 0;

  // The nodes of HKEY_LOCAL_MACHINE and HKEY_USERS; they always exist and are never deleted.
  virtual KeyId LocalMachineKey() const = 0;
  virtual KeyId UsersKey() const = 0;
  // The name of the current user's key below HKEY_USERS, which HKEY_CURRENT_USER shows.
  // False: the store has no current user, and every call on HKEY_CURRENT_USER gives 6 (as
  // on another machine).
  virtual bool CurrentUserKeyName(std::string* name) const = 0;

  // Keeps the store for one changing run from its first change to its end, so that two runs
  // never interleave their changes. 170 when another run keeps it longer than the store's
  // wait; 0 when the store needs no such lock (one private to this process).
  virtual RegStatus AcquireRunLock() = 0;
  virtual void ReleaseRunLock() = 0;

  // Transactions. A read transaction sees the store as it was at its first read, whatever
  // other users commit meanwhile; a write transaction takes the store's write lock at once.
  virtual RegStatus BeginRead() = 0;
  virtual RegStatus BeginWrite() = 0;
  // Nonzero: nothing of the transaction was saved (the caller then calls Rollback).
  virtual RegStatus Commit() = 0;
  // Ends the transaction, dropping its changes; harmless when none is open.
  virtual void Rollback() = 0;
  // False once the store ended the transaction by itself (after a full disk, an I/O error).
  virtual bool InTransaction() const = 0;
  // One mark inside a write transaction: the changes after it can be undone alone
  // (RollbackToMark, which also ends the mark) or kept (ReleaseMark). Marks do not nest.
  virtual RegStatus Mark() = 0;
  virtual RegStatus ReleaseMark() = 0;
  virtual void RollbackToMark() = 0;
  // A number that changes whenever another user of the store commits a change (valid inside
  // a transaction): what the core cached about the tree is then dropped.
  virtual RegStatus DataVersion(int64_t* version) = 0;
  // True while a caller reads the whole tree about once (a full backup's walk), false after:
  // a store that caches what it read may keep less meanwhile, since little is read twice.
  virtual void ReadingWholeTree(bool) {}

  // Keys. 2 when `parent` has no child of that folded name.
  virtual RegStatus FindChild(KeyId parent, std::string_view fold, KeyId* child) = 0;
  // Creates child `name` of `parent`, which has no child of that folded name. `depth` counts
  // the levels below the key's root (HKLM\A is 1), as KeyDepth gives it back.
  virtual RegStatus InsertKey(KeyId parent, std::string_view name, std::string_view fold,
                              int64_t depth, KeyId* id) = 0;
  // The levels between the key and its root (0 for a root's own node). 1018 when the key
  // does not exist (any more): the core asks this to tell a live key from a deleted one.
  virtual RegStatus KeyDepth(KeyId id, int64_t* depth) = 0;
  virtual RegStatus HasChildren(KeyId id, bool* has) = 0;
  // Deletes a key that has no children, with its values.
  virtual RegStatus DeleteKey(KeyId id) = 0;

  // Values. 2 when the key has no value of that folded name.
  virtual RegStatus FindValue(KeyId key, std::string_view fold, bool withData,
                              ValueRow* row) = 0;
  // Creates the value (last in creation order) or replaces its type and data in place (its
  // first spelling and its place stay).
  virtual RegStatus SetValue(KeyId key, std::string_view name, std::string_view fold,
                             uint32_t type, const uint8_t* data, uint32_t size) = 0;
  // Creates a value the key does not have yet; *id is its id.
  virtual RegStatus InsertValue(KeyId key, std::string_view name, std::string_view fold,
                                uint32_t type, const uint8_t* data, uint32_t size,
                                int64_t* id) = 0;
  // Replaces the type and data of value `id` of `key`, in place.
  virtual RegStatus ReplaceValueData(KeyId key, int64_t id, uint32_t type, const uint8_t* data,
                                     uint32_t size) = 0;
  // 2 when there is no such value.
  virtual RegStatus DeleteValue(KeyId key, std::string_view fold) = 0;
  // The longest child name; the longest value name and value data (0 when there are none).
  virtual RegStatus LongestSubkey(KeyId key, uint32_t* maxSubkey) = 0;
  virtual RegStatus LongestValue(KeyId key, uint32_t* maxValueName, uint32_t* maxValueData) = 0;

  // Up to `limit` rows of a listing: values in creation order, children in ascending folded
  // order. They start at number `offset`, or, when `after` is given, right after the value
  // id / folded name it names (a row the last listing gave, with no change since).
  // *ended: the listing's last row was visited (or there were none).
  virtual RegStatus ListValues(KeyId key, uint32_t offset, const int64_t* afterId,
                               uint32_t limit, const ValueVisitor& visit, bool* ended) = 0;
  virtual RegStatus ListChildren(KeyId parent, uint32_t offset, const std::string* afterFold,
                                 uint32_t limit, const ChildVisitor& visit, bool* ended) = 0;
  // Every value of `key` in creation order, for a caller that reads them once from first to
  // last and never goes on after a row: the rows' ids are left 0.
  virtual RegStatus ListAllValues(KeyId key, const ValueVisitor& visit) {
    bool ended = false;
    return ListValues(key, 0, nullptr, UINT32_MAX, visit, &ended);
  }
};

// How long a store waits for another run that keeps it (the run lock, a busy file):
// $DORVALEX_STORE_WAIT seconds (fractions allowed), else 60 seconds.
int StoreWaitMilliseconds();

#endif  // DORVALEX_REGISTRY_TREE_STORE_H_
