// The local store against the registry contract, and what only the local store promises:
// the current-user view, the nesting limit, several connections on one file, its location.
#include "registry/backends/sqlite_registry.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "gtest/gtest.h"
#include "testing/registry_contract.h"
#include "testing/registry_dump.h"

namespace {

std::string TemporaryFolder() {
  char folder[] = "/tmp/dx-registry-XXXXXX";
  if (!mkdtemp(folder)) return "/tmp";
  return folder;
}

// Contract suites on a store in memory and on a store file; the files go when the run ends.
const bool kRegistered = [] {
  RegisterRegistryContractTests("SqliteRegistryInMemory",
                                [] { return OpenSqliteRegistry(":memory:"); });
  static const std::string folder = TemporaryFolder();
  static int stores = 0;
  RegisterRegistryContractTests("SqliteRegistryFile", [] {
    return OpenSqliteRegistry(folder + "/store" + std::to_string(++stores) + ".db");
  });
  atexit([] { std::filesystem::remove_all(folder); });
  return true;
}();

class SqliteRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = TemporaryFolder(); }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::string StorePath() const { return folder_ + "/registry.db"; }

  std::string folder_;
};

RegStatus SetText(RegistryService& r, KeyHandle key, std::string_view name,
                  std::string_view text) {
  return r.RegSetValueExA(key, name, 0, kRegSz, reinterpret_cast<const uint8_t*>(text.data()),
                          static_cast<uint32_t>(text.size()));
}

std::string UserKey() { return "S-1-22-1-" + std::to_string(getuid()); }

TEST_F(SqliteRegistryTest, CurrentUserReadsEmptyUntilAKeyIsCreatedThroughIt) {
  auto r = OpenSqliteRegistry(":memory:");
  const std::string before = DumpRegistry(*r);
  KeyHandle key = kNoKey;
  EXPECT_EQ(r->RegOpenKeyA(kHkeyCurrentUser, "Software", &key), kErrorFileNotFound);
  EXPECT_EQ(r->RegOpenKeyA(kHkeyCurrentUser, "", &key), kErrorSuccess);
  char name[64];
  EXPECT_EQ(r->RegEnumKeyA(key, 0, name, sizeof name), kErrorNoMoreItems);
  uint32_t size = 0;
  EXPECT_EQ(r->RegQueryValueExA(key, "v", nullptr, nullptr, &size), kErrorFileNotFound);
  EXPECT_EQ(r->RegDeleteValueA(key, "v"), kErrorFileNotFound);
  EXPECT_EQ(DumpRegistry(*r), before);  // reading created nothing

  KeyHandle created = kNoKey;
  ASSERT_EQ(r->RegCreateKeyA(kHkeyCurrentUser, "Software\\Example", &created), kErrorSuccess);
  ASSERT_EQ(SetText(*r, created, "Name", "x"), kErrorSuccess);
  EXPECT_EQ(DumpRegistryKey(*r, kHkeyUsers, UserKey(), "U"),
            "[U]\n[U\\Software]\n[U\\Software\\Example]\n  \"Name\"=1:\"x\"\n");
  // The handle taken before the key existed now reads it.
  EXPECT_EQ(r->RegEnumKeyA(key, 0, name, sizeof name), kErrorSuccess);
  EXPECT_STREQ(name, "Software");
  r->RegCloseKey(key);
  r->RegCloseKey(created);
}

TEST_F(SqliteRegistryTest, KeysNestAtMostFiveHundredTwelveLevels) {
  auto r = OpenSqliteRegistry(":memory:");
  std::string path = "L";
  for (int level = 2; level <= 512; ++level) path += "\\L";
  KeyHandle key = kNoKey;
  ASSERT_EQ(r->RegCreateKeyA(kHkeyUsers, path, &key), kErrorSuccess);
  KeyHandle deeper = kNoKey;
  EXPECT_EQ(r->RegCreateKeyA(key, "L", &deeper), kErrorInvalidParameter);
  EXPECT_EQ(r->RegCreateKeyA(kHkeyUsers, path + "\\L", &deeper), kErrorInvalidParameter);
  // Views count the levels of the key they stand for.
  std::string classes = "L";
  for (int level = 4; level <= 512; ++level) classes += "\\L";
  EXPECT_EQ(r->RegCreateKeyA(kHkeyClassesRoot, classes + "\\L", &deeper),
            kErrorInvalidParameter);
  ASSERT_EQ(r->RegCreateKeyA(kHkeyClassesRoot, classes, &deeper), kErrorSuccess);
  r->RegCloseKey(deeper);
  r->RegCloseKey(key);
}

TEST_F(SqliteRegistryTest, ConnectionsSeeEachOthersChanges) {
  auto first = OpenSqliteRegistry(StorePath());
  auto second = OpenSqliteRegistry(StorePath());
  KeyHandle oldKey = kNoKey;
  ASSERT_EQ(first->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Shared\\Leaf", &oldKey), 0);
  ASSERT_EQ(SetText(*first, oldKey, "v", "old"), 0);
  KeyHandle walker = kNoKey;
  ASSERT_EQ(first->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE", &walker), 0);
  char name[64];
  ASSERT_EQ(first->RegEnumKeyA(walker, 0, name, sizeof name), 0);  // "Classes"

  // The other connection replaces the key and adds a sibling before "Shared".
  ASSERT_EQ(second->RegDeleteKeyA(kHkeyLocalMachine, "SOFTWARE\\Shared\\Leaf"), 0);
  KeyHandle newKey = kNoKey;
  ASSERT_EQ(second->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Shared\\Leaf", &newKey), 0);
  ASSERT_EQ(SetText(*second, newKey, "v", "new"), 0);
  KeyHandle sibling = kNoKey;
  ASSERT_EQ(second->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Early", &sibling), 0);

  uint32_t size = 0;
  EXPECT_EQ(first->RegQueryValueExA(oldKey, "v", nullptr, nullptr, &size), kErrorKeyDeleted);
  KeyHandle reopened = kNoKey;
  ASSERT_EQ(first->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE\\Shared\\Leaf", &reopened), 0);
  char data[8] = {};
  size = sizeof data;
  ASSERT_EQ(first->RegQueryValueExA(reopened, "v", nullptr, reinterpret_cast<uint8_t*>(data),
                                    &size), 0);
  EXPECT_EQ(std::string(data, size), "new");
  // Index 1 counts afresh after the other connection's change.
  ASSERT_EQ(first->RegEnumKeyA(walker, 1, name, sizeof name), 0);
  EXPECT_STREQ(name, "Early");
  for (KeyHandle key : {oldKey, walker, reopened}) first->RegCloseKey(key);
  for (KeyHandle key : {newKey, sibling}) second->RegCloseKey(key);
}

TEST_F(SqliteRegistryTest, DefaultStorePathFollowsTheEnvironment) {
  struct Saved {
    const char* name;
    std::string value;
    bool set;
  } saved[] = {{"DORVALEX_REGISTRY", "", false}, {"XDG_DATA_HOME", "", false},
               {"HOME", "", false}};
  for (Saved& entry : saved) {
    if (const char* value = getenv(entry.name)) entry = {entry.name, value, true};
  }
  setenv("DORVALEX_REGISTRY", "/somewhere/store.db", 1);
  EXPECT_EQ(DefaultStorePath(), "/somewhere/store.db");
  unsetenv("DORVALEX_REGISTRY");
  setenv("XDG_DATA_HOME", "/data", 1);
  setenv("HOME", "/home/someone", 1);
  if (geteuid() == 0) {
    EXPECT_EQ(DefaultStorePath(), "/var/lib/dorvalex/registry.db");
  } else {
    EXPECT_EQ(DefaultStorePath(), "/data/dorvalex/registry.db");
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(DefaultStorePath(), "/home/someone/.local/share/dorvalex/registry.db");
  }
  for (const Saved& entry : saved) {
    if (entry.set) setenv(entry.name, entry.value.c_str(), 1);
    else unsetenv(entry.name);
  }
}

TEST_F(SqliteRegistryTest, StoreFolderIsCreatedOnFirstUse) {
  const std::string path = folder_ + "/a/b/registry.db";
  auto r = OpenSqliteRegistry(path);
  KeyHandle key = kNoKey;
  ASSERT_EQ(r->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\X", &key), kErrorSuccess);
  r->RegCloseKey(key);
  struct stat info;
  ASSERT_EQ(stat((folder_ + "/a/b").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, geteuid() == 0 ? 0755u : 0700u);
  EXPECT_TRUE(std::filesystem::exists(path));
}

}  // namespace
