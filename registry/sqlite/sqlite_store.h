// The rows of the local store: keys and values in one SQLite file, reached through prepared
// statements. It knows nothing of handles, roots or views; sqlite_registry.cc builds the
// registry calls on it.
//
// Invariants the store keeps:
//  1. Every registry call is atomic: it runs in a transaction of its own, or inside a run's
//     batch under a mark that undoes it alone when it fails.
//  2. The file is only written after it was recognised as a store (or found empty), so a file
//     that is not a store is never overwritten.
//  3. Key ids are never reused: a handle to a deleted key can never reach a newer key.
#ifndef DORVALEX_REGISTRY_SQLITE_SQLITE_STORE_H_
#define DORVALEX_REGISTRY_SQLITE_SQLITE_STORE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/win32_codes.h"

struct sqlite3;
struct sqlite3_stmt;

using KeyId = int64_t;
inline constexpr KeyId kLocalMachineId = 1;
inline constexpr KeyId kUsersId = 2;

struct ValueRow {
  int64_t id = 0;
  std::string name;
  uint32_t type = 0;
  std::string data;
  uint32_t dataSize = 0;
};

// One row of a listing. The texts point into the statement: valid during the visit only.
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

class SqliteStore {
 public:
  // Opens (creating when missing or empty) the store at `path`; ":memory:" gives a private
  // store in memory. Never fails: status() holds the code every call must give.
  explicit SqliteStore(const std::string& path);
  ~SqliteStore();
  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

  // 0, or the code that stops every call (1009: not a store; 5: may not be read; ...).
  RegStatus status() const { return status_; }
  // The store may be read but not written.
  bool readOnly() const { return readOnly_; }

  RegStatus BeginRead();
  RegStatus BeginWrite();
  RegStatus Commit();
  void Rollback();
  // False once SQLite ended the transaction by itself (after a full disk or an I/O error).
  bool InTransaction() const;
  // A nested mark inside a transaction: the changes after it can be undone alone.
  RegStatus Mark();
  RegStatus ReleaseMark();
  void RollbackToMark();
  // Changes whenever another connection commits a change (valid inside a transaction).
  RegStatus DataVersion(int64_t* version);

  // 2 when parent has no child of that folded name.
  RegStatus FindChild(KeyId parent, std::string_view fold, KeyId* child);
  // `depth` counts the levels below the key's root (HKLM\A is 1).
  RegStatus InsertKey(KeyId parent, std::string_view name, std::string_view fold,
                      int64_t depth, KeyId* id);
  // 1018 when the key does not exist (any more).
  RegStatus KeyDepth(KeyId id, int64_t* depth);
  RegStatus HasChildren(KeyId id, bool* has);
  // Deletes the key row and its values.
  RegStatus DeleteKey(KeyId id);

  // 2 when the key has no such value. With withData false only dataSize is filled.
  RegStatus FindValue(KeyId key, std::string_view fold, bool withData, ValueRow* row);
  // Creates the value or replaces its type and data in place (its name and place stay).
  RegStatus SetValue(KeyId key, std::string_view name, std::string_view fold, uint32_t type,
                     const uint8_t* data, uint32_t size);
  // Creates a value the key does not have yet; *id is its row.
  RegStatus InsertValue(KeyId key, std::string_view name, std::string_view fold, uint32_t type,
                        const uint8_t* data, uint32_t size, int64_t* id);
  // Replaces the type and data of the value row `id`.
  RegStatus ReplaceValueData(int64_t id, uint32_t type, const uint8_t* data, uint32_t size);
  // 2 when there is no such value.
  RegStatus DeleteValue(KeyId key, std::string_view fold);
  // The longest subkey name; the longest value name and value data (0 when there are none).
  RegStatus LongestSubkey(KeyId key, uint32_t* maxSubkey);
  RegStatus LongestValue(KeyId key, uint32_t* maxValueName, uint32_t* maxValueData);

  // Up to `limit` rows of a listing in one statement: values in creation order, children in
  // ascending folded order. They start at number `offset`, or, when `after` is given, right
  // after the value id / folded name it names. *ended: the listing's last row was visited.
  RegStatus ListValues(KeyId key, uint32_t offset, const int64_t* afterId, uint32_t limit,
                       const ValueVisitor& visit, bool* ended);
  RegStatus ListChildren(KeyId parent, uint32_t offset, const std::string* afterFold,
                         uint32_t limit, const ChildVisitor& visit, bool* ended);

 private:
  enum StatementId : int {
    kBegin, kBeginImmediate, kCommit, kRollback, kMark, kReleaseMark, kRollbackToMark,
    kDataVersion,
    kFindChild, kInsertKey, kKeyDepth, kHasChildren, kDeleteKeyValues, kDeleteKeyRow,
    kFindValue, kFindValueSize, kSetValue, kInsertValue, kReplaceValueData, kDeleteValue,
    kMaxSubkey, kMaxValue,
    kListValuesAt, kListValuesAfter, kListChildrenAt, kListChildrenAfter,
    kStatementCount
  };
  class Use;

  void Open(const std::string& path);
  RegStatus ValidateOrCreate();
  RegStatus CreateSchema();
  void Tune();
  RegStatus Exec(const char* sql);
  sqlite3_stmt* Statement(StatementId id);
  // Runs a statement that takes no parameters and returns no rows.
  RegStatus Step(StatementId id);
  RegStatus ReadValueRow(sqlite3_stmt* stmt, ValueRow* row);
  // Binds key, name, fold, type and data as parameters 1 to 5 of an insert.
  void BindValue(sqlite3_stmt* stmt, KeyId key, std::string_view name, std::string_view fold,
                 uint32_t type, const uint8_t* data, uint32_t size);
  // Steps a bound listing statement through at most `limit` rows.
  template <typename Visit>
  RegStatus StepListing(sqlite3_stmt* stmt, uint32_t limit, Visit visit, bool* ended);

  sqlite3* db_ = nullptr;
  RegStatus status_ = kErrorSuccess;
  bool readOnly_ = false;
  std::vector<sqlite3_stmt*> statements_;
};

// The registry code for an SQLite result code (0 for the success codes).
RegStatus StatusFromSqlite(int rc);

#endif  // DORVALEX_REGISTRY_SQLITE_SQLITE_STORE_H_
