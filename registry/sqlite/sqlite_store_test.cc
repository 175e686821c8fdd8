// The store file under stress: files that are not stores, stores that may not be written, and
// stores of the first format. A writer killed in the middle of its work is the crash test's.
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "gtest/gtest.h"
#include "registry/sqlite/sqlite_registry.h"
#include "registry/sqlite/sqlite_store.h"

namespace {

class SqliteStoreTest : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove_all(folder_); }

  char pattern_[21] = "/tmp/dx-store-XXXXXX";
  const std::string folder_ = mkdtemp(pattern_) ? pattern_ : "/nonexistent";
  const std::string path_ = folder_ + "/registry.db";
};

std::string ReadFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}
RegStatus SetBytes(RegistryService& r, KeyHandle k, std::string_view name, std::string_view bytes) {
  return r.RegSetValueExA(k, name, 0, kRegBinary, (const uint8_t*)bytes.data(), bytes.size());
}

// Runs `work` in a child process, which exits with what it returns.
template <typename Work>
pid_t Spawn(Work work) {
  pid_t child = fork();
  if (child == 0) _exit(work());
  return child;
}
int ExitCode(pid_t child) {  // 128 when the child was killed
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

TEST_F(SqliteStoreTest, FilesThatAreNotStoresAreRefusedAndLeftAlone) {
  // A database of someone else's, then a folder (a file of noise: the fault tests).
  sqlite3* db = nullptr;
  if (sqlite3_open(path_.c_str(), &db) == SQLITE_OK)
    sqlite3_exec(db, "CREATE TABLE notes(t); INSERT INTO notes VALUES('mine');", 0, 0, 0);
  sqlite3_close(db);
  for (bool folder : {false, true}) {
    if (folder) {
      std::filesystem::remove_all(path_);
      std::filesystem::create_directory(path_);
    }
    const std::string before = ReadFile(path_);
    auto r = OpenSqliteRegistry(path_);
    KeyHandle key = kNoKey;
    EXPECT_EQ(r->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE", &key), kErrorBadDb);
    EXPECT_EQ(r->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\X", &key), kErrorBadDb);
    EXPECT_EQ(SetBytes(*r, kHkeyLocalMachine, "v", "x"), kErrorBadDb);
    EXPECT_EQ(key, kNoKey);
    r.reset();
    EXPECT_EQ(ReadFile(path_), before);
    EXPECT_FALSE(std::filesystem::exists(path_ + "-wal"));
  }
}

TEST_F(SqliteStoreTest, StoreThatMayNotBeWrittenReadsButRefusesWrites) {
  KeyHandle key = kNoKey, other = kNoKey;
  ASSERT_EQ(OpenSqliteRegistry(path_)->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Kept", &key), 0);
  const std::string before = ReadFile(path_);
  chmod(folder_.c_str(), 0555);
  chmod(path_.c_str(), 0444);
  // The exit code names the first expectation that failed (0: none).
  int failures = ExitCode(Spawn([&] {
    if (geteuid() == 0 && setuid(65534) != 0) return 100;  // the superuser writes anything
    auto r = OpenSqliteRegistry(path_);
    const bool ok[] = {
        r->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE\\Kept", &key) == 0,
        SetBytes(*r, key, "v", "new") == kErrorAccessDenied,
        r->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\New", &other) == kErrorAccessDenied,
        r->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Kept", &other) == 0,
        r->RegDeleteKeyA(kHkeyLocalMachine, "SOFTWARE\\Kept") == kErrorAccessDenied,
    };
    return int(std::find(ok, std::end(ok), false) - ok + 1) % int(std::size(ok) + 1);
  }));
  chmod(folder_.c_str(), 0700);
  chmod(path_.c_str(), 0644);
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(ReadFile(path_), before);
}

// The values of `path` below HKLM by name, in enumeration order.
std::string ValueNames(RegistryService& r, const std::string& path) {
  KeyHandle key = kNoKey;
  if (r.RegOpenKeyA(kHkeyLocalMachine, path, &key) != 0) return "(no key)";
  std::string names;
  char name[64];
  for (uint32_t i = 0, size = sizeof name; r.RegEnumValueA(key, i, name, &size, nullptr,
                                                           nullptr, nullptr) == 0;
       ++i, size = sizeof name)
    names.append(name).push_back(' ');
  std::string listed;  // the same names in one listing
  r.ListValues(key, [&](std::string_view n, uint32_t, std::string_view) {
    return listed.append(n).append(" ").size() != 0;
  });
  r.RegCloseKey(key);
  return names == listed ? names : names + "| listed: " + listed;
}

TEST_F(SqliteStoreTest, StoreOfTheFirstFormatIsReadAsItIsOrRewrittenInOrder) {
  // Values numbered in one sequence across keys, listed through an index on the key.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
      "PRAGMA journal_mode=WAL; PRAGMA application_id=1146638919; PRAGMA user_version=1;"
      "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
      " name BLOB NOT NULL, fold BLOB NOT NULL, depth INTEGER NOT NULL);"
      "CREATE UNIQUE INDEX keys_by_parent ON keys(parent, fold);"
      "CREATE TABLE vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL, name BLOB NOT NULL,"
      " fold BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL);"
      "CREATE UNIQUE INDEX vals_by_name ON vals(key, fold);"
      "CREATE INDEX vals_by_key ON vals(key);"
      "INSERT INTO keys VALUES (1, 0, x'484B4C4D', x'484B4C4D', 0),"
      " (2, 0, x'484B55', x'484B55', 0),"
      " (3, 1, CAST('SOFTWARE' AS BLOB), CAST('SOFTWARE' AS BLOB), 1),"
      " (10, 3, CAST('A' AS BLOB), CAST('A' AS BLOB), 2),"
      " (11, 3, CAST('B' AS BLOB), CAST('B' AS BLOB), 2);"
      "INSERT INTO vals VALUES (5, 10, CAST('z' AS BLOB), CAST('Z' AS BLOB), 3, x'01'),"
      " (6, 11, CAST('q' AS BLOB), CAST('Q' AS BLOB), 3, x'02'),"
      " (7, 10, CAST('Y' AS BLOB), CAST('Y' AS BLOB), 3, x'03'),"
      " (9, 10, CAST('x' AS BLOB), CAST('X' AS BLOB), 3, x'04');",
      nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  const std::string before = ReadFile(path_);
  chmod(folder_.c_str(), 0555);
  chmod(path_.c_str(), 0444);
  int failures = ExitCode(Spawn([&] {
    if (geteuid() == 0 && setuid(65534) != 0) return 100;
    auto r = OpenSqliteRegistry(path_);
    if (ValueNames(*r, "SOFTWARE\\A") != "z Y x ") return 1;
    return SetBytes(*r, kHkeyLocalMachine, "v", "x") == kErrorAccessDenied ? 0 : 2;
  }));
  chmod(folder_.c_str(), 0700);
  chmod(path_.c_str(), 0644);
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(ReadFile(path_), before);

  // Opened for writing, the file is rewritten: each key keeps its order, new values go last.
  auto r = OpenSqliteRegistry(path_);
  KeyHandle a = kNoKey;
  ASSERT_EQ(r->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE\\A", &a), 0);
  EXPECT_EQ(SetBytes(*r, a, "w", "5"), 0);
  EXPECT_EQ(SetBytes(*r, a, "y", "6"), 0);  // replaces Y in place
  r->RegCloseKey(a);
  EXPECT_EQ(ValueNames(*r, "SOFTWARE\\A"), "z Y x w ");
  EXPECT_EQ(ValueNames(*r, "SOFTWARE\\B"), "q ");
  r.reset();
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &stmt, nullptr);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(stmt, 0), 3);
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}

TEST_F(SqliteStoreTest, StoreOfTheSecondFormatDropsItsIndexOfNamesWhenWritten) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
      "PRAGMA journal_mode=WAL; PRAGMA application_id=1146638919; PRAGMA user_version=2;"
      "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
      " name BLOB NOT NULL, fold BLOB NOT NULL, depth INTEGER NOT NULL);"
      "CREATE UNIQUE INDEX keys_by_parent ON keys(parent, fold);"
      "CREATE TABLE vals(id INTEGER PRIMARY KEY, name BLOB NOT NULL, type INTEGER NOT NULL,"
      " data BLOB NOT NULL);"
      "CREATE UNIQUE INDEX vals_by_name ON vals(id >> 24, upper(name));"
      "INSERT INTO keys VALUES (1, 0, x'484B4C4D', x'484B4C4D', 0),"
      " (2, 0, x'484B55', x'484B55', 0), (3, 1, CAST('SOFTWARE' AS BLOB), CAST('SOFTWARE' AS BLOB), 1);"
      "INSERT INTO vals VALUES ((3 << 24) + 1, CAST('Kept' AS BLOB), 3, x'01');",
      nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  auto r = OpenSqliteRegistry(path_);
  KeyHandle key = kNoKey;
  ASSERT_EQ(r->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE", &key), 0);
  uint8_t data[4];
  uint32_t size = sizeof data;
  EXPECT_EQ(r->RegQueryValueExA(key, "KEPT", nullptr, data, &size), 0);
  EXPECT_EQ(SetBytes(*r, key, "kept", "2"), 0);  // replaces it: one value, first spelling
  r->RegCloseKey(key);
  EXPECT_EQ(ValueNames(*r, "SOFTWARE"), "Kept ");
  r.reset();
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "SELECT (SELECT user_version FROM pragma_user_version),"
                         " (SELECT count(*) FROM sqlite_master WHERE type = 'index')", -1,
                     &stmt, nullptr);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(stmt, 0), 3);
  EXPECT_EQ(sqlite3_column_int(stmt, 1), 1);  // keys_by_parent alone
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}

// The values of `key` in the store's listing order, as "name=data ".
std::string Listed(SqliteStore& store, KeyId key) {
  std::string text, all;  // all: from the listing without ids, which must agree
  bool ended = false;
  auto add = [](std::string* to, const ListedValue& v) {
    return to->append(v.name).append("=").append(v.data).append(" ").size() != 0;
  };
  store.ListAllValues(key, [&](const ListedValue& v) { return add(&all, v); });
  store.ListValues(key, 0, nullptr, 1000, [&](const ListedValue& v) { return add(&text, v); },
                   &ended);
  return text == all ? text : text + "| all: " + all;
}

// New values wait in memory and go in several to a statement: every read in the same
// transaction sees them in creation order, going back to another key does not reuse places,
// and a mark undoes exactly the values set after it.
TEST_F(SqliteStoreTest, WaitingValuesAreReadInOrderAndUndoneByTheirMark) {
  SqliteStore store(path_, "S-1");
  KeyId a = 0, b = 0;
  int64_t id = 0;
  ASSERT_EQ(store.BeginWrite(), 0);
  ASSERT_EQ(store.InsertKey(kLocalMachineId, "A", "A", 1, &a), 0);
  ASSERT_EQ(store.InsertKey(kLocalMachineId, "B", "B", 1, &b), 0);
  std::string expected;
  auto insert = [&](KeyId key, const std::string& name) {
    return store.InsertValue(key, name, name, kRegBinary, (const uint8_t*)name.data(),
                             name.size(), &id);
  };
  for (int i = 0; i < 40; ++i) {  // more than one statement holds
    ASSERT_EQ(insert(a, "v" + std::to_string(i)), 0);
    expected += "v" + std::to_string(i) + "=v" + std::to_string(i) + " ";
  }
  ASSERT_EQ(insert(b, "w"), 0);
  ASSERT_EQ(insert(a, "last"), 0);
  expected += "last=last ";
  ValueRow row;
  EXPECT_EQ(store.FindValue(a, "LAST", true, &row), 0);
  EXPECT_EQ(row.id, id);
  EXPECT_EQ(Listed(store, a), expected);
  ASSERT_EQ(store.Mark(), 0);
  ASSERT_EQ(insert(a, "undone"), 0);
  ASSERT_EQ(insert(b, "undone"), 0);
  store.RollbackToMark();
  ASSERT_EQ(insert(a, "after"), 0);
  EXPECT_EQ(Listed(store, a), expected + "after=after ");  // read while it waits
  ASSERT_EQ(store.Commit(), 0);
  ASSERT_EQ(store.BeginRead(), 0);
  EXPECT_EQ(Listed(store, a), expected + "after=after ");
  EXPECT_EQ(Listed(store, b), "w=w ");
  store.Rollback();
}

// A value is found by name through the names this connection keeps of the key: what another
// connection commits, and what a rollback undoes, is never answered from them.
TEST_F(SqliteStoreTest, KeptNamesFollowOtherWritersAndRollbacks) {
  SqliteStore mine(path_, "S-1"), other(path_, "S-1");
  KeyId key = 0;
  int64_t id = 0;
  auto insert = [&](SqliteStore& store, const std::string& name) {
    return store.InsertValue(key, name, name, kRegBinary, (const uint8_t*)"d", 1, &id);
  };
  auto found = [&](const std::string& fold) {
    ValueRow row;
    EXPECT_EQ(mine.BeginRead(), 0);
    RegStatus status = mine.FindValue(key, fold, true, &row);
    mine.Rollback();
    return status == 0;
  };
  ASSERT_EQ(mine.BeginWrite(), 0);
  ASSERT_EQ(mine.InsertKey(kLocalMachineId, "K", "K", 1, &key), 0);
  ASSERT_EQ(insert(mine, "old"), 0);
  ASSERT_EQ(mine.Commit(), 0);
  EXPECT_TRUE(found("OLD"));

  ASSERT_EQ(other.BeginWrite(), 0);
  ASSERT_EQ(other.DeleteValue(key, "OLD"), 0);
  ASSERT_EQ(insert(other, "new"), 0);
  ASSERT_EQ(other.Commit(), 0);
  EXPECT_FALSE(found("OLD"));
  EXPECT_TRUE(found("NEW"));

  ASSERT_EQ(mine.BeginWrite(), 0);
  ASSERT_EQ(mine.SetValue(key, "Undone", "UNDONE", kRegBinary, (const uint8_t*)"x", 1), 0);
  ASSERT_EQ(mine.DeleteValue(key, "NEW"), 0);
  mine.Rollback();
  EXPECT_FALSE(found("UNDONE"));
  EXPECT_TRUE(found("NEW"));
  // A value set twice by name is one value, replaced in place; one undone by a mark is gone.
  ASSERT_EQ(mine.BeginWrite(), 0);
  ASSERT_EQ(mine.SetValue(key, "Twice", "TWICE", kRegBinary, (const uint8_t*)"1", 1), 0);
  ASSERT_EQ(mine.SetValue(key, "TWICE", "TWICE", kRegBinary, (const uint8_t*)"2", 1), 0);
  ASSERT_EQ(mine.Mark(), 0);
  ASSERT_EQ(mine.SetValue(key, "Again", "AGAIN", kRegBinary, (const uint8_t*)"3", 1), 0);
  mine.RollbackToMark();
  ASSERT_EQ(mine.SetValue(key, "Again", "AGAIN", kRegBinary, (const uint8_t*)"4", 1), 0);
  ASSERT_EQ(mine.Commit(), 0);
  ASSERT_EQ(mine.BeginRead(), 0);
  EXPECT_EQ(Listed(mine, key), "new=d Twice=2 Again=4 ");
  mine.Rollback();
}

}  // namespace
