// The rows of the local store: keys and values in one SQLite file, reached through prepared
// statements. It is a tree store (registry/tree_store.h) and knows nothing of handles, roots
// or views; the tree core builds the registry calls on it.
//
// Invariants the store keeps:
//  1. Every registry call is atomic: it runs in a transaction of its own, or inside a run's
//     batch under a mark that undoes it alone when it fails.
//  2. The file is only written after it was recognised as a store (or found empty), so a file
//     that is not a store is never overwritten.
//  3. Key ids are never reused: a handle to a deleted key can never reach a newer key.
//  4. A value's id is its key's id and its place (creation order) in one number, so the
//     table itself keeps each key's values together and in order. There is no index by
//     name: the folded names of the key last looked up are read once and kept with their
//     ids while this connection changes them, and dropped when another user commits or a
//     transaction of this connection is undone.
//  5. New values of one key may wait in memory (InsertValue) and are written, a few rows per
//     statement, before any other call reads or changes the store. Writing them can only
//     fail the way a commit can (a full disk, an I/O error); the transaction is then rolled
//     back whole, so that no call that reported success is kept in part.
#ifndef DORVALEX_REGISTRY_SQLITE_SQLITE_STORE_H_
#define DORVALEX_REGISTRY_SQLITE_SQLITE_STORE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/name_table.h"
#include "registry/sqlite/run_lock.h"
#include "registry/tree_store.h"
#include "registry/win32_codes.h"

struct sqlite3;
struct sqlite3_stmt;

inline constexpr KeyId kLocalMachineId = 1;
inline constexpr KeyId kUsersId = 2;

class SqliteStore final : public TreeStore {
 public:
  // Opens (creating when missing or empty) the store at `path`; ":memory:" gives a private
  // store in memory. Never fails: status() holds the code every call must give.
  // HKEY_CURRENT_USER shows HKU\`userKeyName`.
  SqliteStore(const std::string& path, std::string userKeyName);
  ~SqliteStore();
  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

  RegStatus status() const override { return status_; }
  bool readOnly() const override { return readOnly_; }
  KeyId LocalMachineKey() const override { return kLocalMachineId; }
  KeyId UsersKey() const override { return kUsersId; }
  bool CurrentUserKeyName(std::string* name) const override;
  // An advisory lock on the store file, waiting as long as a busy store is waited for.
  RegStatus AcquireRunLock() override;
  void ReleaseRunLock() override;

  RegStatus BeginRead() override;
  RegStatus BeginWrite() override;
  RegStatus Commit() override;
  void Rollback() override;
  bool InTransaction() const override;
  RegStatus Mark() override;
  RegStatus ReleaseMark() override;
  void RollbackToMark() override;
  RegStatus DataVersion(int64_t* version) override;
  // A smaller page cache while the whole tree is read: its pages are read about once each, and
  // filling the larger cache would only cost memory the system must first clear.
  void ReadingWholeTree(bool reading) override;

  RegStatus FindChild(KeyId parent, std::string_view fold, KeyId* child) override;
  RegStatus InsertKey(KeyId parent, std::string_view name, std::string_view fold,
                      int64_t depth, KeyId* id) override;
  RegStatus KeyDepth(KeyId id, int64_t* depth) override;
  RegStatus HasChildren(KeyId id, bool* has) override;
  RegStatus DeleteKey(KeyId id) override;

  RegStatus FindValue(KeyId key, std::string_view fold, bool withData, ValueRow* row) override;
  RegStatus SetValue(KeyId key, std::string_view name, std::string_view fold, uint32_t type,
                     const uint8_t* data, uint32_t size) override;
  RegStatus InsertValue(KeyId key, std::string_view name, std::string_view fold, uint32_t type,
                        const uint8_t* data, uint32_t size, int64_t* id) override;
  RegStatus ReplaceValueData(KeyId key, int64_t id, uint32_t type, const uint8_t* data,
                             uint32_t size) override;
  RegStatus DeleteValue(KeyId key, std::string_view fold) override;
  RegStatus LongestSubkey(KeyId key, uint32_t* maxSubkey) override;
  RegStatus LongestValue(KeyId key, uint32_t* maxValueName, uint32_t* maxValueData) override;

  RegStatus ListValues(KeyId key, uint32_t offset, const int64_t* afterId, uint32_t limit,
                       const ValueVisitor& visit, bool* ended) override;
  RegStatus ListChildren(KeyId parent, uint32_t offset, const std::string* afterFold,
                         uint32_t limit, const ChildVisitor& visit, bool* ended) override;
  // One statement without a limit or ids: the full backup reads every value this way.
  RegStatus ListAllValues(KeyId key, const ValueVisitor& visit) override;

 private:
  enum StatementId : int {
    kBegin, kBeginImmediate, kCommit, kRollback, kMark, kReleaseMark, kRollbackToMark,
    kDataVersion,
    kFindChild, kInsertKey, kKeyDepth, kHasChildren, kDeleteKeyValues, kDeleteKeyRow,
    kFindValue, kFindValueSize, kListValueNames, kFindValueIdByScan, kInsertValue, kLastValueId,
    kLastTableId, kReplaceValueData,
    kDeleteValue,
    kMaxSubkey, kMaxValue,
    kListValuesAt, kListValuesAfter, kListAllValues, kListChildrenAt, kListChildrenAfter,
    kStatementCount
  };
  class Use;

  void Open(const std::string& path);
  RegStatus ValidateOrCreate();
  RegStatus CreateSchema();
  // A file of an older format: rewritten in the current one inside a write transaction,
  // or, when it may not be written (or cannot be rewritten), read as it is.
  RegStatus Upgrade(int64_t from);
  RegStatus KeepFormat(int64_t format);
  // The first column of the first row of a statement without parameters.
  RegStatus QueryNumber(const char* sql, int64_t* number);
  // The id of a new value of `key`: the place after its last one. 8 when the key has no
  // place left.
  RegStatus NextValueId(KeyId key, int64_t* id);
  void Tune();
  // What every transaction forgets of the last one.
  void StartTransaction();
  // Reads the folded names of `key` into names_, unless they are kept already; a key with
  // more than kMaxNames names or kMaxNameBytes of them is not held (manyNamesKey_).
  RegStatus HoldNames(KeyId key);
  void DropNames();
  // A value of this connection's: added to the names when they are those of `key`.
  void AddName(KeyId key, std::string_view fold, int64_t id);
  // The id of value `fold` of `key`, or 0 when it has none.
  RegStatus FindValueId(KeyId key, std::string_view fold, int64_t* id);
  RegStatus Exec(const char* sql);
  sqlite3_stmt* Statement(StatementId id);
  // Runs a statement that takes no parameters and returns no rows.
  RegStatus Step(StatementId id);
  RegStatus ReadValueRow(sqlite3_stmt* stmt, ValueRow* row);
  // Binds id, name, type and data as parameters first + 1 to first + 4 of an insert.
  void BindRow(sqlite3_stmt* stmt, int first, int64_t id, std::string_view name, uint32_t type,
               const uint8_t* data, uint32_t size);
  // Binds a value's folded name for a comparison with the index's folded name.
  void BindFold(sqlite3_stmt* stmt, int index, std::string_view fold);
  // Writes the values that InsertValue keeps waiting; on failure rolls the transaction back
  // (invariant 5) and gives the code. Every call that reads or changes rows calls it first.
  RegStatus WritePending();
  // Drops the waiting values: their transaction, or the mark they followed, was rolled back.
  void DropPending() {
    pending_.clear();
    pendingBytes_.clear();
  }
  // The statement inserting `rows` values (a power of two up to kPendingRows).
  sqlite3_stmt* InsertRowsStatement(int rows);
  // Inserts waiting rows first .. first + rows - 1, by their ids or, with `newIds`, with the
  // ids SQLite gives (the last id + 1 onwards).
  RegStatus InsertPending(size_t first, int rows, bool newIds);
  // The first column of the one row of statement `id`, which takes no parameters.
  RegStatus StepNumber(StatementId id, int64_t* number);
  // Steps a bound listing statement through at most `limit` rows.
  template <typename Visit>
  RegStatus StepListing(sqlite3_stmt* stmt, uint32_t limit, Visit visit, bool* ended);

  const std::string path_;
  const std::string userKeyName_;
  RunLock runLock_;
  sqlite3* db_ = nullptr;
  RegStatus status_ = kErrorSuccess;
  bool readOnly_ = false;
  int64_t format_ = 3;  // the file's format (older only for files read as they are)
  // The next value id of key nextPlaceKey_, known within the current transaction.
  KeyId nextPlaceKey_ = kNoKeyId;
  int64_t nextValueId_ = 0;
  std::vector<sqlite3_stmt*> statements_;
  // Values of key nextPlaceKey_ waiting to be written, in creation order; their names and data
  // lie back to back in pendingBytes_.
  struct PendingRow {
    int64_t id;
    uint32_t type;
    size_t nameOffset;
    size_t nameSize;
    size_t dataSize;  // the data follows the name
  };
  std::vector<PendingRow> pending_;
  std::string pendingBytes_;
  // Inserts of 1, 2, 4 ... kPendingRows rows, prepared when first needed.
  static constexpr int kPendingRows = 32;
  sqlite3_stmt* insertRows_[6] = {};
  // The folded names of key namesKey_'s values and their ids by name number (of a name a
  // damaged file holds twice, the first is the one found), as of data version
  // namesVersion_; checked against it once in each transaction. namesChanged_: this
  // connection changed them since its last commit.
  static constexpr uint32_t kMaxNames = 1 << 20;
  static constexpr size_t kMaxNameBytes = 32 << 20;
  KeyId namesKey_ = kNoKeyId;
  KeyId manyNamesKey_ = kNoKeyId;
  NameTable names_;
  std::vector<int64_t> nameIds_;
  int64_t namesVersion_ = 0;
  bool namesChecked_ = false;
  bool namesChanged_ = false;
  std::string fold_;
};

// The registry code for an SQLite result code (0 for the success codes).
RegStatus StatusFromSqlite(int rc);

#endif  // DORVALEX_REGISTRY_SQLITE_SQLITE_STORE_H_
