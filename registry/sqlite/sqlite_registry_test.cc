// The local store against the registry contract, and what only the local store promises:
// the current user's key, several connections on one file and changes saved in batches.
#include "registry/sqlite/sqlite_registry.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "gtest/gtest.h"
#include "registry/key_names.h"
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

// The current user's key is HKU\S-1-22-1-<uid>: it reads empty until a key is created through
// it, and a handle taken before then reads what was created.
TEST(SqliteRegistryTest, CurrentUserIsTheUserIdsKeyMadeOnFirstCreate) {
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
  EXPECT_EQ(r->RegEnumKeyA(key, 0, name, sizeof name), kErrorSuccess);
  EXPECT_STREQ(name, "Software");
}

// Batches: what a second connection sees, a failed call undone alone, one run at a time.
TEST(SqliteRegistryTest, BatchesReachOthersWhenSavedAndHoldTheStoreForOneRun) {
  const std::string folder = TemporaryFolder();
  auto run = OpenSqliteRegistry(folder + "/registry.db");
  auto other = OpenSqliteRegistry(folder + "/registry.db");
  auto create = [](RegistryService& r, const std::string& path) {
    KeyHandle key = kNoKey;
    RegStatus status = r.RegCreateKeyA(kHkeyLocalMachine, path, &key);
    r.RegCloseKey(key);
    return status;
  };
  auto exists = [](RegistryService& r, const std::string& path) {
    KeyHandle key = kNoKey;
    RegStatus status = r.RegOpenKeyA(kHkeyLocalMachine, path, &key);
    r.RegCloseKey(key);
    return status == kErrorSuccess;
  };
  ASSERT_EQ(run->BeginChanges(), kErrorSuccess);
  ASSERT_EQ(create(*run, "SOFTWARE\\First"), kErrorSuccess);
  EXPECT_TRUE(exists(*run, "SOFTWARE\\First"));
  EXPECT_FALSE(exists(*other, "SOFTWARE\\First"));
  // Creates key after key until the depth limit refuses one: all of them go back, alone.
  std::string deep = "Deep";
  for (int64_t level = 0; level < kMaxKeyDepth + 8; ++level) deep += "\\d";
  EXPECT_NE(create(*run, deep), kErrorSuccess);
  EXPECT_FALSE(exists(*run, "Deep"));
  ASSERT_EQ(run->SaveChanges(), kErrorSuccess);
  EXPECT_TRUE(exists(*other, "SOFTWARE\\First"));

  // Discarded changes are gone, and the batch takes no more until it ends.
  ASSERT_EQ(create(*run, "SOFTWARE\\Second"), kErrorSuccess);
  run->DiscardChanges();
  EXPECT_NE(create(*run, "SOFTWARE\\Third"), kErrorSuccess);
  EXPECT_NE(run->SaveChanges(), kErrorSuccess);
  run->EndChanges();
  EXPECT_TRUE(exists(*run, "SOFTWARE\\First"));
  EXPECT_FALSE(exists(*run, "SOFTWARE\\Second"));
  EXPECT_FALSE(exists(*other, "SOFTWARE\\Third"));
  EXPECT_EQ(create(*run, "SOFTWARE\\Fourth"), kErrorSuccess);  // outside a batch again
  EXPECT_TRUE(exists(*other, "SOFTWARE\\Fourth"));

  // One run at a time; a batch ended without a save is dropped.
  const char* saved = getenv("DORVALEX_STORE_WAIT");
  const std::string previous = saved ? saved : "";
  setenv("DORVALEX_STORE_WAIT", "0.05", 1);
  ASSERT_EQ(run->BeginChanges(), kErrorSuccess);
  EXPECT_EQ(other->BeginChanges(), kErrorBusy);
  run->EndChanges();
  EXPECT_EQ(other->BeginChanges(), kErrorSuccess);
  EXPECT_EQ(create(*other, "SOFTWARE\\Other"), kErrorSuccess);
  other->EndChanges();
  EXPECT_FALSE(exists(*run, "SOFTWARE\\Other"));
  saved ? setenv("DORVALEX_STORE_WAIT", previous.c_str(), 1) : unsetenv("DORVALEX_STORE_WAIT");
  run.reset();
  other.reset();
  std::filesystem::remove_all(folder);
}

}  // namespace
