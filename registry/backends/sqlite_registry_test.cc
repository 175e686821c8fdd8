// The local store against the registry contract, and what only the local store promises:
// the current-user view and several connections on one file.
#include "registry/backends/sqlite_registry.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "gtest/gtest.h"
#include "testing/registry_contract.h"
#include "testing/registry_dump.h"

namespace {

std::string TemporaryFolder() {
  char folder[] = "/tmp/dx-registry-XXXXXX";
  return mkdtemp(folder) ? folder : "/nonexistent";
}

// The contract suite on store files; the files go when the run ends.
const bool kRegistered = [] {
  static const std::string folder = TemporaryFolder();
  static int stores = 0;
  RegisterRegistryContractTests("SqliteRegistryFile", [] {
    return OpenSqliteRegistry(folder + "/store" + std::to_string(++stores) + ".db");
  });
  atexit([] { std::filesystem::remove_all(folder); });
  return true;
}();

TEST(SqliteRegistryTest, CurrentUserReadsEmptyUntilAKeyIsCreatedThroughIt) {
  auto r = OpenSqliteRegistry(":memory:");
  const std::string before = DumpRegistry(*r);
  KeyHandle key = kNoKey, created = kNoKey;
  EXPECT_EQ(r->RegOpenKeyA(kHkeyCurrentUser, "Software", &key), kErrorFileNotFound);
  ASSERT_EQ(r->RegOpenKeyA(kHkeyCurrentUser, "", &key), kErrorSuccess);
  char name[64];
  EXPECT_EQ(r->RegEnumKeyA(key, 0, name, sizeof name), kErrorNoMoreItems);
  EXPECT_EQ(r->RegDeleteValueA(key, "v"), kErrorFileNotFound);
  EXPECT_EQ(DumpRegistry(*r), before);  // reading created nothing
  ASSERT_EQ(r->RegCreateKeyA(kHkeyCurrentUser, "Software\\Example", &created), kErrorSuccess);
  EXPECT_EQ(DumpRegistryKey(*r, kHkeyUsers, "S-1-22-1-" + std::to_string(getuid()), "U"),
            "[U]\n[U\\Software]\n[U\\Software\\Example]\n");
  // The handle taken before the key existed now reads it.
  EXPECT_EQ(r->RegEnumKeyA(key, 0, name, sizeof name), kErrorSuccess);
  EXPECT_STREQ(name, "Software");
}

TEST(SqliteRegistryTest, ConnectionsSeeEachOthersChanges) {
  const std::string folder = TemporaryFolder();
  auto first = OpenSqliteRegistry(folder + "/registry.db");
  auto second = OpenSqliteRegistry(folder + "/registry.db");
  KeyHandle oldKey = kNoKey, walker = kNoKey, newKey = kNoKey, sibling = kNoKey;
  ASSERT_EQ(first->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Shared\\Leaf", &oldKey), 0);
  ASSERT_EQ(first->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE", &walker), 0);
  char name[64];
  ASSERT_EQ(first->RegEnumKeyA(walker, 0, name, sizeof name), 0);  // "Classes"
  // The other connection replaces the key and adds a sibling before "Shared".
  ASSERT_EQ(second->RegDeleteKeyA(kHkeyLocalMachine, "SOFTWARE\\Shared\\Leaf"), 0);
  ASSERT_EQ(second->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Shared\\Leaf", &newKey), 0);
  ASSERT_EQ(second->RegSetValueExA(newKey, "v", 0, kRegSz, reinterpret_cast<const uint8_t*>("new"),
                                   3), 0);
  ASSERT_EQ(second->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Early", &sibling), 0);
  EXPECT_EQ(first->RegDeleteValueA(oldKey, "v"), kErrorKeyDeleted);
  EXPECT_EQ(DumpRegistryKey(*first, kHkeyLocalMachine, "SOFTWARE\\Shared", "S"),
            "[S]\n[S\\Leaf]\n  \"v\"=1:\"new\"\n");
  // Index 1 counts afresh after the other connection's change.
  ASSERT_EQ(first->RegEnumKeyA(walker, 1, name, sizeof name), 0);
  EXPECT_STREQ(name, "Early");
  std::filesystem::remove_all(folder);
}

}  // namespace
