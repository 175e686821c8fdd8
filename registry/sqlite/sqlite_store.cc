// Rows of the local store on SQLite: opening and recognising the file, the schema, the
// prepared statements and the conversion of SQLite's result codes into registry codes.
#include "registry/sqlite/sqlite_store.h"

#include <sqlite3.h>

#include <cerrno>
#include <utility>

#include "base/ascii_case.h"
#include "platform/platform.h"
#include "registry/sqlite/store_path.h"

namespace {

// Marks a file as this store ("DXRG"); a file with tables but another mark is not ours.
constexpr int64_t kApplicationId = 0x44585247;
// 1: values numbered in one sequence, with their key and folded name in columns of their own
// and an index on the key. 2: a value's id holds its key and its place (below), so that a
// key's values lie together in creation order in the table itself, and an index folds the
// name itself. 3: no index by name either: a value is found by name through its key's names,
// read once with the key's rows (SqliteStore::HoldNames) and kept while the connection
// changes them, so that a new value costs one row written, not a row and an index entry.
// Older files are rewritten to format 3 when they are opened for writing, and read as they
// are otherwise.
constexpr int64_t kFormatVersion = 3;

// A value's id: its key's id times 2^24 plus its place among the key's values, counted from
// 1 in creation order. A key holds at most 2^24 - 1 places; key ids stay below 2^39.
constexpr int kPlaceBits = 24;
constexpr int64_t kMaxPlace = (int64_t{1} << kPlaceBits) - 1;
constexpr int64_t kMaxValueKey = (int64_t{1} << 39) - 1;
int64_t FirstValueId(KeyId key) { return key << kPlaceBits; }

// New values wait in memory until this many bytes of names and data are gathered; a value
// larger than kMaxPendingValue is written at once, without a copy.
constexpr size_t kMaxPendingBytes = 256 * 1024;
constexpr uint32_t kMaxPendingValue = 16 * 1024;
int64_t LastValueId(KeyId key) { return (key << kPlaceBits) | kMaxPlace; }

// The page cache of a connection (in KiB): calls that come back to the same keys find them
// there. A walk of the whole tree reads each page about once and keeps a small one.
constexpr const char* kCacheSize = "PRAGMA cache_size=-32768";
constexpr const char* kWholeTreeCacheSize = "PRAGMA cache_size=-2048";

constexpr const char* kSchema =
    "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
    " name BLOB NOT NULL, fold BLOB NOT NULL, depth INTEGER NOT NULL);"
    "CREATE UNIQUE INDEX keys_by_parent ON keys(parent, fold);"
    // Rows of one key in id order: the creation order of its values (FirstValueId).
    "CREATE TABLE vals(id INTEGER PRIMARY KEY, name BLOB NOT NULL, type INTEGER NOT NULL,"
    " data BLOB NOT NULL);"
    "INSERT INTO keys(id, parent, name, fold, depth) VALUES"
    " (1, 0, CAST('HKEY_LOCAL_MACHINE' AS BLOB), CAST('HKEY_LOCAL_MACHINE' AS BLOB), 0),"
    " (2, 0, CAST('HKEY_USERS' AS BLOB), CAST('HKEY_USERS' AS BLOB), 0),"
    " (3, 1, CAST('SOFTWARE' AS BLOB), CAST('SOFTWARE' AS BLOB), 1),"
    " (4, 3, CAST('Classes' AS BLOB), CAST('CLASSES' AS BLOB), 2),"
    " (5, 1, CAST('SYSTEM' AS BLOB), CAST('SYSTEM' AS BLOB), 1),"
    " (6, 5, CAST('CurrentControlSet' AS BLOB), CAST('CURRENTCONTROLSET' AS BLOB), 2),"
    " (7, 6, CAST('Hardware Profiles' AS BLOB), CAST('HARDWARE PROFILES' AS BLOB), 3),"
    " (8, 7, CAST('Current' AS BLOB), CAST('CURRENT' AS BLOB), 4),"
    " (9, 2, CAST('.DEFAULT' AS BLOB), CAST('.DEFAULT' AS BLOB), 1);";

constexpr const char* kStatementSql[] = {
    "BEGIN",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "SAVEPOINT call",
    "RELEASE call",
    "ROLLBACK TO call",
    "PRAGMA data_version",
    "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2",
    "INSERT INTO keys(parent, name, fold, depth) VALUES(?1, ?2, ?3, ?4)",
    "SELECT depth FROM keys WHERE id = ?1",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "DELETE FROM vals WHERE id BETWEEN (?1 << 24) AND (?1 << 24) + 16777215",
    "DELETE FROM keys WHERE id = ?1",
    // A value by its id, found by name through its key's names (?2 is unused here and bound
    // only for the first format's statements).
    "SELECT id, name, type, data FROM vals WHERE id = ?1",
    "SELECT id, name, type, length(data) FROM vals WHERE id = ?1",
    // A key's names, read once for lookups by name; its data is never read.
    "SELECT id, name FROM vals WHERE id BETWEEN ?1 AND ?2",
    // A value by name in a key with more names than are kept: the key's rows are read.
    "SELECT id FROM vals WHERE id BETWEEN ?1 AND ?2 AND upper(name) = ?3",
    // Inserts take the value's id (the place after its key's last value), name, type and
    // data (BindRow). The id is checked before anything is written, so that a conflict
    // leaves nothing to undo: FAIL needs no statement journal.
    "INSERT OR FAIL INTO vals(id, name, type, data) VALUES(?1, ?2, ?3, ?4)",
    "SELECT max(id) FROM vals WHERE id BETWEEN ?1 AND ?2",
    "SELECT max(id) FROM vals",
    "UPDATE vals SET type = ?2, data = ?3 WHERE id = ?1",
    "DELETE FROM vals WHERE id = ?1",
    "SELECT max(length(name)) FROM keys WHERE parent = ?1",
    "SELECT max(length(name)), max(length(data)) FROM vals"
    " WHERE id BETWEEN (?1 << 24) AND (?1 << 24) + 16777215",
    // One more row than asked for tells whether the listing ends within the window. ?4 and
    // ?5 are the key's first and last value ids.
    "SELECT id, name, type, data FROM vals WHERE id BETWEEN ?4 AND ?5 ORDER BY id"
    " LIMIT ?2 + 1 OFFSET ?3",
    "SELECT id, name, type, data FROM vals WHERE id > ?3 AND id <= ?5 ORDER BY id"
    " LIMIT ?2 + 1",
    "SELECT name, type, data FROM vals WHERE id BETWEEN ?1 AND ?2 ORDER BY id",
    // Whether each child has children spares a walk one listing per key without any.
    "SELECT id, name, fold, EXISTS(SELECT 1 FROM keys c WHERE c.parent = k.id) FROM keys k"
    " WHERE parent = ?1 ORDER BY fold LIMIT ?2 + 1 OFFSET ?3",
    "SELECT id, name, fold, EXISTS(SELECT 1 FROM keys c WHERE c.parent = k.id) FROM keys k"
    " WHERE parent = ?1 AND fold > ?3 ORDER BY fold LIMIT ?2 + 1",
};

// The reading statements of format 1, which has key and fold columns (read-only files only:
// every other file is rewritten to the current format when opened).
struct Format1Statement {
  int id;  // a SqliteStore::StatementId
  const char* sql;
};

// Rewrites the values of a format 1 store in the current format, inside the caller's write
// transaction: each key's values keep their order, numbered from 1.
constexpr const char* kUpgradeFromFormat1 =
    "CREATE TABLE vals_upgraded(id INTEGER PRIMARY KEY, name BLOB NOT NULL,"
    " type INTEGER NOT NULL, data BLOB NOT NULL);"
    "INSERT INTO vals_upgraded(id, name, type, data)"
    " SELECT (key << 24) + row_number() OVER (PARTITION BY key ORDER BY id), name, type, data"
    " FROM vals ORDER BY key, id;"
    "DROP TABLE vals;"
    "ALTER TABLE vals_upgraded RENAME TO vals;"
    "PRAGMA user_version=3;";
// Format 2 differs only by its index of names.
constexpr const char* kUpgradeFromFormat2 =
    "DROP INDEX IF EXISTS vals_by_name;"
    "PRAGMA user_version=3;";
// A format 1 store that the current format cannot number (a key with too many values, or
// key ids beyond the range) is not rewritten: 1 when it can be.
constexpr const char* kCanUpgradeFormat1 =
    "SELECT coalesce((SELECT max(key) FROM vals), 0) <= 549755813887 AND"
    " coalesce((SELECT max(n) FROM (SELECT count(*) AS n FROM vals GROUP BY key)), 0)"
    " <= 16777215";

// An empty text binds as an empty blob, never as NULL.
int BindBytes(sqlite3_stmt* stmt, int index, const void* data, size_t size) {
  return sqlite3_bind_blob64(stmt, index, size ? data : "", size, SQLITE_STATIC);
}
int BindText(sqlite3_stmt* stmt, int index, std::string_view text) {
  return BindBytes(stmt, index, text.data(), text.size());
}

std::string_view ColumnView(sqlite3_stmt* stmt, int column) {
  const void* bytes = sqlite3_column_blob(stmt, column);
  int size = sqlite3_column_bytes(stmt, column);
  return bytes ? std::string_view(static_cast<const char*>(bytes), size) : std::string_view();
}

// The bytes of a column through its value: sqlite3_column_blob and sqlite3_column_bytes
// would each take and leave the connection's mutex and check for errors again. The value is
// not protected by that mutex, which this connection (used by one thread) does not need; it
// stays valid until the statement steps again, as the column's bytes do.
std::string_view ValueView(sqlite3_stmt* stmt, int column) {
  sqlite3_value* value = sqlite3_column_value(stmt, column);
  const void* bytes = sqlite3_value_blob(value);
  int size = sqlite3_value_bytes(value);
  return bytes ? std::string_view(static_cast<const char*>(bytes), size) : std::string_view();
}

std::string ColumnBytes(sqlite3_stmt* stmt, int column) {
  const void* bytes = sqlite3_column_blob(stmt, column);
  int size = sqlite3_column_bytes(stmt, column);
  return bytes ? std::string(static_cast<const char*>(bytes), size) : std::string();
}

// "%3F" for '?': a character escaped in a file URI.
std::string FormatHex(char c) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  unsigned char byte = static_cast<unsigned char>(c);
  return {'%', kDigits[byte >> 4], kDigits[byte & 15]};
}

// Why a store file could not be opened at all.
RegStatus OpenFailure(const std::string& path, int systemErrno) {
  if (platform::IsDirectory(path)) return kErrorBadDb;
  switch (systemErrno) {
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrorAccessDenied;
    case ENOENT:
    case ENOTDIR:
      return kErrorPathNotFound;
    default:
      return kErrorBadDb;
  }
}

}  // namespace

RegStatus StatusFromSqlite(int rc) {
  switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return kErrorSuccess;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return kErrorBusy;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN:
      return kErrorAccessDenied;
    case SQLITE_FULL:
      return kErrorDiskFull;
    case SQLITE_NOMEM:
      return kErrorNotEnoughMemory;
    case SQLITE_TOOBIG:
      return kErrorInvalidParameter;
    case SQLITE_IOERR:
      return kErrorRegistryIoFailed;
    default:  // corrupt, not a database, or a schema that is not ours
      return kErrorBadDb;
  }
}

// Resets a prepared statement when the scope that used it ends.
class SqliteStore::Use {
 public:
  explicit Use(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~Use() {
    if (stmt_) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

 private:
  sqlite3_stmt* stmt_;
};

SqliteStore::SqliteStore(const std::string& path, std::string userKeyName)
    : path_(path), userKeyName_(std::move(userKeyName)), statements_(kStatementCount, nullptr) {
  Open(path);
}

bool SqliteStore::CurrentUserKeyName(std::string* name) const {
  *name = userKeyName_;
  return true;
}

RegStatus SqliteStore::AcquireRunLock() {
  if (path_ == ":memory:") return kErrorSuccess;  // private to this connection
  return runLock_.Acquire(path_, StoreWaitMilliseconds());
}

void SqliteStore::ReleaseRunLock() { runLock_.Release(); }

SqliteStore::~SqliteStore() {
  for (sqlite3_stmt* stmt : statements_) sqlite3_finalize(stmt);
  for (sqlite3_stmt* stmt : insertRows_) sqlite3_finalize(stmt);
  sqlite3_close(db_);  // also checkpoints and removes the write-ahead log when last out
}

void SqliteStore::Open(const std::string& path) {
  // Without memory statistics SQLite's allocations take no global lock (a few percent of a
  // run); this only takes effect before SQLite's first use in the process.
  static const int kConfigured = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  // The undo of one statement (a multi-row insert into a large key touches a page per row)
  // stays in memory up to 1 MiB instead of 64 KiB: past that SQLite writes it to a temporary
  // file, created and written again for every statement.
  static const int kJournalInMemory = sqlite3_config(SQLITE_CONFIG_STMTJRNL_SPILL, 1 << 20);
  (void)kConfigured;
  (void)kJournalInMemory;
  // A new store is made private here: SQLite gives its log, index and journal the store
  // file's mode. An existing file (someone else's choice) is left as it is.
  if (path != ":memory:" && platform::LookUpEntry(path) == platform::Entry::kAbsent) {
    platform::File created;
    (void)platform::OpenForWriting(path, platform::Existing::kRefuse, &created);
  }
  // Read-write falls back to read-only by itself when the file may not be written.
  int rc = sqlite3_open_v2(path.c_str(), &db_,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    status_ = db_ ? OpenFailure(path, sqlite3_system_errno(db_)) : kErrorNotEnoughMemory;
    sqlite3_close(db_);
    db_ = nullptr;
    return;
  }
  // Two runs on one store wait for each other this long before a call gives up with 170.
  sqlite3_busy_timeout(db_, StoreWaitMilliseconds());
  readOnly_ = sqlite3_db_readonly(db_, "main") == 1;
  status_ = ValidateOrCreate();
  if (readOnly_ && status_ == kErrorAccessDenied) {
    // A reader that may not create the write-ahead log's index beside the file can still
    // read the file as it stands.
    sqlite3_close(db_);
    db_ = nullptr;
    std::string uri = "file:";
    for (char c : path) {
      if (c == '?' || c == '#' || c == '%')
        uri += FormatHex(c);
      else
        uri += c;
    }
    uri += "?immutable=1";
    rc = sqlite3_open_v2(uri.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    if (rc != SQLITE_OK) {
      status_ = kErrorAccessDenied;
      return;
    }
    status_ = ValidateOrCreate();
  }
}

RegStatus SqliteStore::Exec(const char* sql) {
  return StatusFromSqlite(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr));
}

RegStatus SqliteStore::ValidateOrCreate() {
  // Only reads until the file is known to be a store or to be empty.
  int64_t applicationId = 0, version = 0, tables = 0;
  struct Probe {
    const char* sql;
    int64_t* out;
  };
  for (const Probe& probe : {Probe{"PRAGMA application_id", &applicationId},
                             Probe{"PRAGMA user_version", &version},
                             Probe{"SELECT count(*) FROM sqlite_master", &tables}}) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db_, probe.sql, -1, &stmt, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) *probe.out = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_ROW) {
      RegStatus status = StatusFromSqlite(rc);
      return status == kErrorBusy || status == kErrorAccessDenied ? status : kErrorBadDb;
    }
  }
  if (tables == 0 && applicationId == 0) {
    if (readOnly_) return kErrorAccessDenied;  // an empty file that may not become a store
    return CreateSchema();
  }
  if (applicationId != kApplicationId) return kErrorBadDb;
  if (version == 1 || version == 2) {
    Tune();
    return readOnly_ ? KeepFormat(version) : Upgrade(version);
  }
  if (version != kFormatVersion) return kErrorBadDb;
  Tune();
  return kErrorSuccess;
}

RegStatus SqliteStore::QueryNumber(const char* sql, int64_t* number) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) *number = sqlite3_column_int64(stmt, 0);
  sqlite3_finalize(stmt);
  return rc == SQLITE_ROW ? kErrorSuccess : StatusFromSqlite(rc == SQLITE_DONE ? SQLITE_ERROR : rc);
}

RegStatus SqliteStore::KeepFormat(int64_t format) {
  format_ = format;
  readOnly_ = true;  // the statements that write know the current format only
  return kErrorSuccess;
}

RegStatus SqliteStore::Upgrade(int64_t from) {
  RegStatus status = Exec("BEGIN IMMEDIATE");
  if (status != kErrorSuccess) return status;
  // Another process may have rewritten the file while this one waited for the lock.
  int64_t version = 0, possible = 1;
  status = QueryNumber("PRAGMA user_version", &version);
  if (status == kErrorSuccess && version == 1) status = QueryNumber(kCanUpgradeFormat1, &possible);
  if (status != kErrorSuccess || version != from || !possible) {
    Exec("ROLLBACK");
    if (status != kErrorSuccess) return status;
    if (version == kFormatVersion) return kErrorSuccess;
    if (version == 2) return Upgrade(2);
    return version == 1 ? KeepFormat(1) : kErrorBadDb;
  }
  status = Exec(from == 1 ? kUpgradeFromFormat1 : kUpgradeFromFormat2);
  if (status == kErrorSuccess) status = Exec("COMMIT");
  if (status != kErrorSuccess) Exec("ROLLBACK");
  return status;
}

RegStatus SqliteStore::CreateSchema() {
  // Commits append to a write-ahead log; with synchronous=NORMAL the log is synced only at
  // checkpoints, so a commit costs no fsync. A killed process loses nothing that was
  // committed, and a power failure at worst the last commits, never the store's integrity.
  Exec("PRAGMA journal_mode=WAL");
  Tune();
  RegStatus status = Exec("BEGIN IMMEDIATE");
  if (status != kErrorSuccess) return status;
  // Another process may have created the store while this one waited for the lock.
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db_, "SELECT count(*) FROM sqlite_master", -1, &stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
  int64_t tables = rc == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
  sqlite3_finalize(stmt);
  if (tables != 0) {
    Exec("ROLLBACK");
    return tables < 0 ? kErrorBadDb : ValidateOrCreate();
  }
  std::string sql = kSchema;
  sql += "PRAGMA application_id=" + std::to_string(kApplicationId) + ";";
  sql += "PRAGMA user_version=" + std::to_string(kFormatVersion) + ";";
  status = Exec(sql.c_str());
  if (status == kErrorSuccess) status = Exec("COMMIT");
  if (status != kErrorSuccess) Exec("ROLLBACK");
  return status;
}

void SqliteStore::ReadingWholeTree(bool reading) {
  Exec(reading ? kWholeTreeCacheSize : kCacheSize);
}

void SqliteStore::Tune() {
  // Settings of this connection only: commits sync nothing (the log is synced when it is
  // copied back into the file, every thousand pages) and reads keep a larger page cache.
  // A larger log was measured slower (the small one is rewritten in place); the file is not
  // memory-mapped, so that a store truncated by someone else gives an error, not a crash.
  Exec("PRAGMA synchronous=NORMAL");
  Exec(kCacheSize);
}

sqlite3_stmt* SqliteStore::Statement(StatementId id) {
  static constexpr Format1Statement kFormat1[] = {
      {kFindValue, "SELECT id, name, type, data FROM vals WHERE key = ?1 AND fold = ?2"},
      {kFindValueSize,
       "SELECT id, name, type, length(data) FROM vals WHERE key = ?1 AND fold = ?2"},
      {kMaxValue, "SELECT max(length(name)), max(length(data)) FROM vals WHERE key = ?1"},
      {kListValuesAt, "SELECT id, name, type, data FROM vals WHERE key = ?1 ORDER BY id"
                      " LIMIT ?2 + 1 OFFSET ?3"},
      {kListValuesAfter, "SELECT id, name, type, data FROM vals WHERE key = ?1 AND id > ?3"
                         " ORDER BY id LIMIT ?2 + 1"},
      {kListAllValues, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id"},
  };
  const char* sql = kStatementSql[id];
  if (format_ == 1) {
    for (const Format1Statement& statement : kFormat1)
      if (statement.id == id) sql = statement.sql;
  }
  if (!statements_[id] &&
      sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statements_[id],
                         nullptr) != SQLITE_OK) {
    sqlite3_finalize(statements_[id]);
    statements_[id] = nullptr;
  }
  return statements_[id];
}

RegStatus SqliteStore::Step(StatementId id) {
  sqlite3_stmt* stmt = Statement(id);
  if (!stmt) return kErrorBadDb;
  Use use(stmt);
  return StatusFromSqlite(sqlite3_step(stmt));
}

RegStatus SqliteStore::BeginRead() {
  StartTransaction();
  return Step(kBegin);
}

RegStatus SqliteStore::BeginWrite() {
  StartTransaction();
  return Step(kBeginImmediate);
}

void SqliteStore::StartTransaction() {
  nextPlaceKey_ = kNoKeyId;  // others may have added values since
  DropPending();             // of a transaction that SQLite ended by itself
  // Names changed by a transaction that was not committed are not the file's.
  if (namesChanged_) DropNames();
  namesChecked_ = false;
  manyNamesKey_ = kNoKeyId;
}

RegStatus SqliteStore::Commit() {
  if (RegStatus status = WritePending()) return status;
  RegStatus status = Step(kCommit);
  if (status == kErrorSuccess) namesChanged_ = false;
  return status;
}

void SqliteStore::Rollback() {
  nextPlaceKey_ = kNoKeyId;
  DropPending();
  if (namesChanged_) DropNames();  // else they are still the file's
  if (InTransaction()) Step(kRollback);  // else SQLite already ended the transaction
}

bool SqliteStore::InTransaction() const { return db_ && !sqlite3_get_autocommit(db_); }

// Waiting values go in before the mark: only the changes after it are undone with it.
RegStatus SqliteStore::Mark() {
  if (RegStatus status = WritePending()) return status;
  return Step(kMark);
}

RegStatus SqliteStore::ReleaseMark() {
  if (RegStatus status = WritePending()) return status;
  return Step(kReleaseMark);
}

void SqliteStore::RollbackToMark() {
  nextPlaceKey_ = kNoKeyId;
  DropPending();  // all of them came after the mark
  if (namesChanged_) DropNames();
  if (InTransaction() && Step(kRollbackToMark) == kErrorSuccess) Step(kReleaseMark);
}

sqlite3_stmt* SqliteStore::InsertRowsStatement(int rows) {
  int slot = 0;
  while ((1 << slot) < rows) ++slot;
  if (!insertRows_[slot]) {
    std::string sql = "INSERT OR FAIL INTO vals(id, name, type, data) VALUES(?, ?, ?, ?)";
    for (int row = 1; row < rows; ++row) sql += ", (?, ?, ?, ?)";
    if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &insertRows_[slot],
                           nullptr) != SQLITE_OK) {
      sqlite3_finalize(insertRows_[slot]);
      insertRows_[slot] = nullptr;
    }
  }
  return insertRows_[slot];
}

RegStatus SqliteStore::WritePending() {
  if (pending_.empty()) return kErrorSuccess;
  // Rows that go after the table's last row leave their ids to SQLite, which gives the last
  // id + 1, exactly the places they were given (they follow each other), and then appends
  // without searching the table for each row. The first row of a key that is not last yet
  // goes in by its id and makes it last.
  int64_t lastId = 0;
  RegStatus status = StepNumber(kLastTableId, &lastId);  // 0 when there are no values
  const int64_t firstId = pending_.front().id;
  const bool append = status == kErrorSuccess && firstId > lastId;
  size_t next = 0;
  if (append && firstId != lastId + 1) {
    status = InsertPending(0, 1, false);
    next = 1;
  }
  // A statement of many rows costs little more than one of a single row: the rows go in
  // 32, 16, ... 1 at a time.
  for (int rows = kPendingRows; rows > 0 && status == kErrorSuccess; rows /= 2) {
    while (status == kErrorSuccess && pending_.size() - next >= static_cast<size_t>(rows)) {
      status = InsertPending(next, rows, append);
      next += rows;
    }
  }
  // Each id is checked: the last one SQLite gave must be the last place.
  if (status == kErrorSuccess && sqlite3_last_insert_rowid(db_) != pending_.back().id)
    status = kErrorBadDb;
  DropPending();
  if (status != kErrorSuccess) Rollback();  // the lines of the waiting values reported success
  return status;
}

RegStatus SqliteStore::InsertPending(size_t first, int rows, bool newIds) {
  sqlite3_stmt* stmt = InsertRowsStatement(rows);
  if (!stmt) return kErrorNotEnoughMemory;
  Use use(stmt);
  for (int row = 0; row < rows; ++row) {
    const PendingRow& value = pending_[first + row];
    const char* name = pendingBytes_.data() + value.nameOffset;
    BindRow(stmt, row * 4, value.id, std::string_view(name, value.nameSize), value.type,
            reinterpret_cast<const uint8_t*>(name + value.nameSize),
            static_cast<uint32_t>(value.dataSize));
    if (newIds) sqlite3_bind_null(stmt, row * 4 + 1);
  }
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) return kErrorSuccess;
  return rc == SQLITE_CONSTRAINT ? kErrorBadDb : StatusFromSqlite(rc);
}

RegStatus SqliteStore::StepNumber(StatementId id, int64_t* number) {
  sqlite3_stmt* stmt = Statement(id);
  if (!stmt) return kErrorBadDb;
  Use use(stmt);
  int rc = sqlite3_step(stmt);
  if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
  *number = sqlite3_column_int64(stmt, 0);  // NULL reads as 0
  return kErrorSuccess;
}

RegStatus SqliteStore::DataVersion(int64_t* version) { return StepNumber(kDataVersion, version); }

RegStatus SqliteStore::FindChild(KeyId parent, std::string_view fold, KeyId* child) {
  if (RegStatus status = WritePending()) return status;
  sqlite3_stmt* stmt = Statement(kFindChild);
  if (!stmt) return kErrorBadDb;
  Use use(stmt);
  sqlite3_bind_int64(stmt, 1, parent);
  BindText(stmt, 2, fold);
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) return kErrorFileNotFound;
  if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
  *child = sqlite3_column_int64(stmt, 0);
  return kErrorSuccess;
}

RegStatus SqliteStore::InsertKey(KeyId parent, std::string_view name, std::string_view fold,
                                 int64_t depth, KeyId* id) {
  if (RegStatus status = WritePending()) return status;
  sqlite3_stmt* stmt = Statement(kInsertKey);
  if (!stmt) return kErrorBadDb;
  Use use(stmt);
  sqlite3_bind_int64(stmt, 1, parent);
  BindText(stmt, 2, name);
  BindText(stmt, 3, fold);
  sqlite3_bind_int64(stmt, 4, depth);
  int rc = sqlite3_step(stmt);
  if (rc != SQLITE_DONE) return StatusFromSqlite(rc);
  *id = sqlite3_last_insert_rowid(db_);
  return kErrorSuccess;
}

RegStatus SqliteStore::KeyDepth(KeyId id, int64_t* depth) {
  if (RegStatus status = WritePending()) return status;
  sqlite3_stmt* stmt = Statement(kKeyDepth);
  if (!stmt) return kErrorBadDb;
  Use use(stmt);
  sqlite3_bind_int64(stmt, 1, id);
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) return kErrorKeyDeleted;
  if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
  *depth = sqlite3_column_int64(stmt, 0);
  return kErrorSuccess;
}

RegStatus SqliteStore::HasChildren(KeyId id, bool* has) {
  if (RegStatus status = WritePending()) return status;
  sqlite3_stmt* stmt = Statement(kHasChildren);
  if (!stmt) return kErrorBadDb;
  Use use(stmt);
  sqlite3_bind_int64(stmt, 1, id);
  int rc = sqlite3_step(stmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return StatusFromSqlite(rc);
  *has = rc == SQLITE_ROW;
  return kErrorSuccess;
}

RegStatus SqliteStore::DeleteKey(KeyId id) {
  if (RegStatus status = WritePending()) return status;
  if (namesKey_ == id) DropNames();
  for (StatementId which : {kDeleteKeyValues, kDeleteKeyRow}) {
    sqlite3_stmt* stmt = Statement(which);
    if (!stmt) return kErrorBadDb;
    Use use(stmt);
    sqlite3_bind_int64(stmt, 1, id);
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) return StatusFromSqlite(rc);
  }
  return kErrorSuccess;
}

RegStatus SqliteStore::ReadValueRow(sqlite3_stmt* stmt, ValueRow* row) {
  row->id = sqlite3_column_int64(stmt, 0);
  row->name = ColumnBytes(stmt, 1);
  row->type = static_cast<uint32_t>(sqlite3_column_int64(stmt, 2));
  if (sqlite3_column_type(stmt, 3) == SQLITE_INTEGER) {
    row->data.clear();
    row->dataSize = static_cast<uint32_t>(sqlite3_column_int64(stmt, 3));
  } else {
    row->data = ColumnBytes(stmt, 3);
    row->dataSize = static_cast<uint32_t>(row->data.size());
  }
  return kErrorSuccess;
}

RegStatus SqliteStore::HoldNames(KeyId key) {
  if (namesKey_ == key && !namesChecked_) {
    // Kept from an earlier transaction: still the file's unless another user committed.
    int64_t version = 0;
    if (RegStatus status = DataVersion(&version)) return status;
    if (version != namesVersion_) DropNames();
    namesChecked_ = true;
  }
  if (namesKey_ == key || manyNamesKey_ == key) return kErrorSuccess;
  DropNames();
  sqlite3_stmt* stmt = Statement(kListValueNames);
  if (!stmt) return kErrorBadDb;
  Use use(stmt);
  sqlite3_bind_int64(stmt, 1, FirstValueId(key));
  sqlite3_bind_int64(stmt, 2, LastValueId(key));
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    if (names_.count() >= kMaxNames || names_.bytes() >= kMaxNameBytes) {
      DropNames();
      manyNamesKey_ = key;  // found by reading its rows, until the transaction ends
      return kErrorSuccess;
    }
    FoldAsciiCaseInto(ColumnView(stmt, 1), &fold_);
    bool added = false;
    names_.Insert(fold_, &added);
    if (added) nameIds_.push_back(sqlite3_column_int64(stmt, 0));
  }
  if (rc != SQLITE_DONE) {
    DropNames();
    return StatusFromSqlite(rc);
  }
  if (RegStatus status = DataVersion(&namesVersion_)) {
    DropNames();
    return status;
  }
  namesKey_ = key;
  namesChecked_ = true;
  return kErrorSuccess;
}

void SqliteStore::DropNames() {
  namesKey_ = kNoKeyId;
  names_.Clear();
  nameIds_.clear();
  namesChanged_ = false;
}

void SqliteStore::AddName(KeyId key, std::string_view fold, int64_t id) {
  if (namesKey_ != key) return;
  bool added = false;
  names_.Insert(fold, &added);
  if (added) nameIds_.push_back(id);
  namesChanged_ = true;
}

RegStatus SqliteStore::FindValueId(KeyId key, std::string_view fold, int64_t* id) {
  *id = 0;
  if (RegStatus status = HoldNames(key)) return status;
  if (namesKey_ == key) {
    const uint32_t number = names_.Find(fold);
    if (number != NameTable::kNone) *id = nameIds_[number];
    return kErrorSuccess;
  }
  sqlite3_stmt* stmt = Statement(kFindValueIdByScan);
  if (!stmt) return kErrorBadDb;
  Use use(stmt);
  sqlite3_bind_int64(stmt, 1, FirstValueId(key));
  sqlite3_bind_int64(stmt, 2, LastValueId(key));
  BindFold(stmt, 3, fold);
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) *id = sqlite3_column_int64(stmt, 0);
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? kErrorSuccess : StatusFromSqlite(rc);
}

RegStatus SqliteStore::FindValue(KeyId key, std::string_view fold, bool withData,
                                 ValueRow* row) {
  if (RegStatus status = WritePending()) return status;
  int64_t id = 0;
  if (format_ != 1) {
    if (RegStatus status = FindValueId(key, fold, &id)) return status;
    if (id == 0) return kErrorFileNotFound;
  }
  sqlite3_stmt* stmt = Statement(withData ? kFindValue : kFindValueSize);
  if (!stmt) return kErrorBadDb;
  Use use(stmt);
  if (format_ == 1) {
    sqlite3_bind_int64(stmt, 1, key);
    BindFold(stmt, 2, fold);
  } else {
    sqlite3_bind_int64(stmt, 1, id);
  }
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) return kErrorFileNotFound;
  if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
  return ReadValueRow(stmt, row);
}

RegStatus SqliteStore::NextValueId(KeyId key, int64_t* id) {
  if (key <= 0 || key > kMaxValueKey) return kErrorNotEnoughMemory;
  if (nextPlaceKey_ != key) {
    sqlite3_stmt* stmt = Statement(kLastValueId);
    if (!stmt) return kErrorBadDb;
    Use use(stmt);
    sqlite3_bind_int64(stmt, 1, FirstValueId(key));
    sqlite3_bind_int64(stmt, 2, LastValueId(key));
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
    nextValueId_ = (sqlite3_column_type(stmt, 0) == SQLITE_NULL ? FirstValueId(key)
                                                               : sqlite3_column_int64(stmt, 0)) +
                   1;
    nextPlaceKey_ = key;
  }
  // A key whose last place is taken holds no more values.
  if (nextValueId_ > LastValueId(key)) return kErrorNotEnoughMemory;
  *id = nextValueId_;
  return kErrorSuccess;
}

RegStatus SqliteStore::SetValue(KeyId key, std::string_view name, std::string_view fold,
                                uint32_t type, const uint8_t* data, uint32_t size) {
  if (RegStatus status = WritePending()) return status;
  int64_t id = 0;
  if (RegStatus status = FindValueId(key, fold, &id)) return status;
  if (id) return ReplaceValueData(key, id, type, data, size);
  return InsertValue(key, name, fold, type, data, size, &id);
}

void SqliteStore::BindRow(sqlite3_stmt* stmt, int first, int64_t id, std::string_view name,
                          uint32_t type, const uint8_t* data, uint32_t size) {
  sqlite3_bind_int64(stmt, first + 1, id);
  BindText(stmt, first + 2, name);
  sqlite3_bind_int64(stmt, first + 3, type);
  BindBytes(stmt, first + 4, data, size);
}

void SqliteStore::BindFold(sqlite3_stmt* stmt, int index, std::string_view fold) {
  if (format_ == 1) {
    BindText(stmt, index, fold);
    return;
  }
  // Text, as the index's upper(name) is: a blob never equals a text.
  sqlite3_bind_text64(stmt, index, fold.empty() ? "" : fold.data(), fold.size(), SQLITE_STATIC,
                      SQLITE_UTF8);
}

RegStatus SqliteStore::InsertValue(KeyId key, std::string_view name, std::string_view fold,
                                   uint32_t type, const uint8_t* data, uint32_t size,
                                   int64_t* id) {
  // The waiting values are all of one key, whose next place is known.
  if (key != nextPlaceKey_ || size > kMaxPendingValue) {
    if (RegStatus status = WritePending()) return status;
  }
  if (RegStatus status = NextValueId(key, id)) return status;
  AddName(key, fold, *id);  // the row follows before anything reads the store
  if (size <= kMaxPendingValue) {
    PendingRow row;
    row.id = *id;
    row.type = type;
    row.nameOffset = pendingBytes_.size();
    row.nameSize = name.size();
    row.dataSize = size;
    pendingBytes_.append(name);
    if (size) pendingBytes_.append(reinterpret_cast<const char*>(data), size);
    pending_.push_back(row);
    ++nextValueId_;
    if (pending_.size() < kPendingRows && pendingBytes_.size() < kMaxPendingBytes)
      return kErrorSuccess;
    return WritePending();
  }
  sqlite3_stmt* stmt = Statement(kInsertValue);
  if (!stmt) return kErrorBadDb;
  Use use(stmt);
  BindRow(stmt, 0, *id, name, type, data, size);
  int rc = sqlite3_step(stmt);
  if (rc != SQLITE_DONE) return StatusFromSqlite(rc);
  ++nextValueId_;
  return kErrorSuccess;
}

RegStatus SqliteStore::ReplaceValueData(KeyId, int64_t id, uint32_t type, const uint8_t* data,
                                        uint32_t size) {
  if (RegStatus status = WritePending()) return status;
  sqlite3_stmt* stmt = Statement(kReplaceValueData);
  if (!stmt) return kErrorBadDb;
  Use use(stmt);
  sqlite3_bind_int64(stmt, 1, id);
  sqlite3_bind_int64(stmt, 2, type);
  BindBytes(stmt, 3, data, size);
  return StatusFromSqlite(sqlite3_step(stmt));
}

RegStatus SqliteStore::DeleteValue(KeyId key, std::string_view fold) {
  if (RegStatus status = WritePending()) return status;
  int64_t id = 0;
  if (format_ != 1) {
    if (RegStatus status = FindValueId(key, fold, &id)) return status;
    if (id == 0) return kErrorFileNotFound;
  }
  sqlite3_stmt* stmt = Statement(kDeleteValue);
  if (!stmt) return kErrorBadDb;
  Use use(stmt);
  sqlite3_bind_int64(stmt, 1, id);
  int rc = sqlite3_step(stmt);
  if (rc != SQLITE_DONE) return StatusFromSqlite(rc);
  if (namesKey_ == key) {
    names_.Erase(fold);
    namesChanged_ = true;
  }
  return sqlite3_changes(db_) == 0 ? kErrorFileNotFound : kErrorSuccess;
}

RegStatus SqliteStore::LongestSubkey(KeyId key, uint32_t* maxSubkey) {
  if (RegStatus status = WritePending()) return status;
  sqlite3_stmt* stmt = Statement(kMaxSubkey);
  if (!stmt) return kErrorBadDb;
  Use use(stmt);
  sqlite3_bind_int64(stmt, 1, key);
  int rc = sqlite3_step(stmt);
  if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
  *maxSubkey = static_cast<uint32_t>(sqlite3_column_int64(stmt, 0));  // NULL reads as 0
  return kErrorSuccess;
}

RegStatus SqliteStore::LongestValue(KeyId key, uint32_t* maxValueName, uint32_t* maxValueData) {
  if (RegStatus status = WritePending()) return status;
  sqlite3_stmt* stmt = Statement(kMaxValue);
  if (!stmt) return kErrorBadDb;
  Use use(stmt);
  sqlite3_bind_int64(stmt, 1, key);
  int rc = sqlite3_step(stmt);
  if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
  *maxValueName = static_cast<uint32_t>(sqlite3_column_int64(stmt, 0));
  *maxValueData = static_cast<uint32_t>(sqlite3_column_int64(stmt, 1));
  return kErrorSuccess;
}

template <typename Visit>
RegStatus SqliteStore::StepListing(sqlite3_stmt* stmt, uint32_t limit, Visit visit,
                                   bool* ended) {
  *ended = false;
  for (uint32_t rows = 0;; ++rows) {
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) {
      *ended = true;
      return kErrorSuccess;
    }
    if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
    if (rows == limit || !visit()) return kErrorSuccess;  // the extra row shows there is more
  }
}

RegStatus SqliteStore::ListValues(KeyId key, uint32_t offset, const int64_t* afterId,
                                  uint32_t limit, const ValueVisitor& visit, bool* ended) {
  if (RegStatus status = WritePending()) return status;
  sqlite3_stmt* stmt = Statement(afterId ? kListValuesAfter : kListValuesAt);
  if (!stmt) return kErrorBadDb;
  Use use(stmt);
  sqlite3_bind_int64(stmt, 1, key);
  sqlite3_bind_int64(stmt, 2, limit);
  sqlite3_bind_int64(stmt, 3, afterId ? *afterId : offset);
  if (format_ != 1) {
    sqlite3_bind_int64(stmt, 4, FirstValueId(key));
    sqlite3_bind_int64(stmt, 5, LastValueId(key));
  }
  ListedValue row;
  return StepListing(stmt, limit, [&] {
    row.id = sqlite3_column_int64(stmt, 0);
    row.name = ColumnView(stmt, 1);
    row.type = static_cast<uint32_t>(sqlite3_column_int64(stmt, 2));
    row.data = ColumnView(stmt, 3);
    return visit(row);
  }, ended);
}

RegStatus SqliteStore::ListAllValues(KeyId key, const ValueVisitor& visit) {
  if (RegStatus status = WritePending()) return status;
  sqlite3_stmt* stmt = Statement(kListAllValues);
  if (!stmt) return kErrorBadDb;
  Use use(stmt);
  if (format_ == 1) {
    sqlite3_bind_int64(stmt, 1, key);
  } else {
    sqlite3_bind_int64(stmt, 1, FirstValueId(key));
    sqlite3_bind_int64(stmt, 2, LastValueId(key));
  }
  ListedValue row;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    row.name = ValueView(stmt, 0);
    row.type = static_cast<uint32_t>(sqlite3_column_int64(stmt, 1));
    row.data = ValueView(stmt, 2);
    if (!visit(row)) return kErrorSuccess;
  }
  return StatusFromSqlite(rc);
}

RegStatus SqliteStore::ListChildren(KeyId parent, uint32_t offset, const std::string* afterFold,
                                    uint32_t limit, const ChildVisitor& visit, bool* ended) {
  if (RegStatus status = WritePending()) return status;
  sqlite3_stmt* stmt = Statement(afterFold ? kListChildrenAfter : kListChildrenAt);
  if (!stmt) return kErrorBadDb;
  Use use(stmt);
  sqlite3_bind_int64(stmt, 1, parent);
  sqlite3_bind_int64(stmt, 2, limit);
  if (afterFold)
    BindText(stmt, 3, *afterFold);
  else
    sqlite3_bind_int64(stmt, 3, offset);
  ListedChild row;
  return StepListing(stmt, limit, [&] {
    row.id = sqlite3_column_int64(stmt, 0);
    row.name = ColumnView(stmt, 1);
    row.fold = ColumnView(stmt, 2);
    row.hasChildren = sqlite3_column_int64(stmt, 3) != 0;
    return visit(row);
  }, ended);
}
