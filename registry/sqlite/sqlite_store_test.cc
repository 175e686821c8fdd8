// The store file under stress: files that are not stores, and stores that may not be written.
// A writer killed in the middle of its work is the crash test's (tests/crash_test.cc).
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

}  // namespace
