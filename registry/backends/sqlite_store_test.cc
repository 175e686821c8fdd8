// The store file under stress: other processes writing at the same time, a writer killed in
// the middle of its work, files that are not stores, and stores that may not be written.
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "gtest/gtest.h"
#include "registry/backends/sqlite_registry.h"
#include "testing/registry_dump.h"

namespace {

class SqliteStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/dx-store-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    path_ = folder_ + "/registry.db";
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string folder_;
  std::string path_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

RegStatus SetBytes(RegistryService& r, KeyHandle key, std::string_view name,
                   std::string_view data) {
  return r.RegSetValueExA(key, name, 0, kRegBinary,
                          reinterpret_cast<const uint8_t*>(data.data()),
                          static_cast<uint32_t>(data.size()));
}

// Runs `work` in a child process and returns its exit status (0 when all went well).
template <typename Work>
int InChild(Work work) {
  pid_t child = fork();
  if (child == 0) _exit(work());
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

TEST_F(SqliteStoreTest, FilesThatAreNotStoresAreRefusedAndLeftAlone) {
  struct Row {
    const char* name;
    void (*make)(const std::string& path);
  } rows[] = {
      {"text", [](const std::string& path) {
         std::ofstream(path) << std::string(5000, 'x') << "\nnot a store\n";
       }},
      {"other database", [](const std::string& path) {
         sqlite3* db = nullptr;
         sqlite3_open(path.c_str(), &db);
         sqlite3_exec(db, "CREATE TABLE notes(text); INSERT INTO notes VALUES('mine');",
                      nullptr, nullptr, nullptr);
         sqlite3_close(db);
       }},
      {"folder", [](const std::string& path) { std::filesystem::create_directory(path); }},
  };
  for (const Row& row : rows) {
    std::filesystem::remove_all(path_);
    row.make(path_);
    const std::string before = ReadFile(path_);
    {
      auto r = OpenSqliteRegistry(path_);
      KeyHandle key = kNoKey;
      EXPECT_EQ(r->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE", &key), kErrorBadDb) << row.name;
      EXPECT_EQ(r->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\X", &key), kErrorBadDb)
          << row.name;
      EXPECT_EQ(SetBytes(*r, kHkeyLocalMachine, "v", "x"), kErrorBadDb) << row.name;
      EXPECT_EQ(key, kNoKey);
    }
    EXPECT_EQ(ReadFile(path_), before) << row.name;
    EXPECT_FALSE(std::filesystem::exists(path_ + "-wal")) << row.name;
  }
}

TEST_F(SqliteStoreTest, StoreThatMayNotBeWrittenReadsButRefusesWrites) {
  {
    auto r = OpenSqliteRegistry(path_);
    KeyHandle key = kNoKey;
    ASSERT_EQ(r->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Kept", &key), 0);
    ASSERT_EQ(SetBytes(*r, key, "v", "data"), 0);
    r->RegCloseKey(key);
  }
  const std::string before = ReadFile(path_);
  chmod(folder_.c_str(), 0555);
  chmod(path_.c_str(), 0444);
  int failures = InChild([&] {
    // The superuser writes anything: drop to an ordinary user first.
    if (geteuid() == 0 && setuid(65534) != 0) return 100;
    auto r = OpenSqliteRegistry(path_);
    int failed = 0;
    KeyHandle key = kNoKey;
    failed |= (r->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE\\Kept", &key) != 0) << 0;
    uint8_t data[8];
    uint32_t size = sizeof data;
    failed |= (r->RegQueryValueExA(key, "v", nullptr, data, &size) != 0 || size != 4) << 1;
    failed |= (SetBytes(*r, key, "v", "new") != kErrorAccessDenied) << 2;
    failed |= (r->RegDeleteValueA(key, "v") != kErrorAccessDenied) << 3;
    KeyHandle other = kNoKey;
    failed |= (r->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\New", &other) !=
               kErrorAccessDenied) << 4;
    failed |= (r->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Kept", &other) != 0) << 5;
    failed |= (r->RegDeleteKeyA(kHkeyLocalMachine, "SOFTWARE\\Kept") != kErrorAccessDenied)
              << 6;
    return failed;
  });
  chmod(folder_.c_str(), 0700);
  chmod(path_.c_str(), 0644);
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(ReadFile(path_), before);
}

TEST_F(SqliteStoreTest, ProcessesWritingAtOnceWaitForEachOther) {
  constexpr int kWriters = 3;
  constexpr int kKeysEach = 150;
  { auto r = OpenSqliteRegistry(path_); }  // created once, then shared
  std::vector<pid_t> children;
  for (int writer = 0; writer < kWriters; ++writer) {
    pid_t child = fork();
    if (child == 0) {
      auto r = OpenSqliteRegistry(path_);
      for (int i = 0; i < kKeysEach; ++i) {
        KeyHandle key = kNoKey;
        std::string path = "SOFTWARE\\Shared\\K" + std::to_string(i);
        if (r->RegCreateKeyA(kHkeyLocalMachine, path, &key) != 0) _exit(1);
        if (SetBytes(*r, key, "W" + std::to_string(writer), "x") != 0) _exit(2);
        if (r->RegCloseKey(key) != 0) _exit(3);
      }
      _exit(0);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  auto r = OpenSqliteRegistry(path_);
  KeyHandle shared = kNoKey;
  ASSERT_EQ(r->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE\\Shared", &shared), 0);
  uint32_t maxSubkey = 0, maxName = 0, maxData = 0;
  ASSERT_EQ(r->RegQueryInfoKeyA(shared, &maxSubkey, &maxName, &maxData), 0);
  char name[16];
  int keys = 0;
  while (r->RegEnumKeyA(shared, keys, name, sizeof name) == 0) {
    KeyHandle key = kNoKey;
    ASSERT_EQ(r->RegOpenKeyA(shared, name, &key), 0);
    for (int writer = 0; writer < kWriters; ++writer) {
      uint32_t size = 0;
      EXPECT_EQ(r->RegQueryValueExA(key, "W" + std::to_string(writer), nullptr, nullptr, &size),
                0) << name;
    }
    r->RegCloseKey(key);
    ++keys;
  }
  EXPECT_EQ(keys, kKeysEach);
}

TEST_F(SqliteStoreTest, WriterKilledAtAnyMomentLeavesAWholeStore) {
  constexpr size_t kValueSize = 64 * 1024;
  for (int round = 0; round < 3; ++round) {
    pid_t child = fork();
    if (child == 0) {
      auto r = OpenSqliteRegistry(path_);
      for (int i = 0;; ++i) {
        KeyHandle key = kNoKey;
        std::string path = "SOFTWARE\\Crash\\R" + std::to_string(round) + "\\K" +
                           std::to_string(i);
        if (r->RegCreateKeyA(kHkeyLocalMachine, path, &key) != 0) _exit(1);
        SetBytes(*r, key, "data", std::string(kValueSize, static_cast<char>(i)));
        r->RegDeleteKeyA(kHkeyLocalMachine, path + "\\Gone");
        r->RegCloseKey(key);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150 + 70 * round));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;

    // The store opens; every value present is whole.
    auto r = OpenSqliteRegistry(path_);
    KeyHandle crash = kNoKey;
    ASSERT_EQ(r->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE\\Crash\\R" + std::to_string(round),
                             &crash), 0);
    char name[32];
    int keys = 0;
    std::string data(kValueSize + 1, '\0');
    for (; r->RegEnumKeyA(crash, keys, name, sizeof name) == 0; ++keys) {
      KeyHandle key = kNoKey;
      ASSERT_EQ(r->RegOpenKeyA(crash, name, &key), 0);
      uint32_t size = static_cast<uint32_t>(data.size());
      RegStatus code = r->RegQueryValueExA(key, "data", nullptr,
                                           reinterpret_cast<uint8_t*>(data.data()), &size);
      if (code == 0) {
        const char expected = static_cast<char>(std::stoi(name + 1));
        EXPECT_EQ(size, kValueSize) << name;
        EXPECT_EQ(data.substr(0, size).find_first_not_of(expected), std::string::npos) << name;
      } else {
        EXPECT_EQ(code, kErrorFileNotFound);  // killed between the create and the set
      }
      r->RegCloseKey(key);
    }
    EXPECT_GT(keys, 0);
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* check = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
  sqlite3_finalize(check);
  sqlite3_close(db);
}

}  // namespace
