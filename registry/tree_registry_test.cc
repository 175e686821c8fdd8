// The tree core over a store in memory: the registry contract, and the current user's view,
// which each store names for itself.
#include "registry/tree_registry.h"

#include "gtest/gtest.h"
#include "testing/memory_tree_store.h"
#include "testing/registry_contract.h"
#include "testing/registry_dump.h"

namespace {

const bool kRegistered = [] {
  RegisterRegistryContractTests("MemoryTreeRegistry", [] { return OpenMemoryRegistry(); });
  return true;
}();

TEST(TreeRegistryTest, CurrentUserReadsEmptyUntilAKeyIsCreatedThroughIt) {
  auto r = OpenMemoryRegistry("S-1-5-21-7");
  const std::string before = DumpRegistry(*r);
  KeyHandle key = kNoKey, created = kNoKey;
  EXPECT_EQ(r->RegOpenKeyA(kHkeyCurrentUser, "Software", &key), kErrorFileNotFound);
  ASSERT_EQ(r->RegOpenKeyA(kHkeyCurrentUser, "", &key), kErrorSuccess);
  char name[64];
  EXPECT_EQ(r->RegEnumKeyA(key, 0, name, sizeof name), kErrorNoMoreItems);
  EXPECT_EQ(r->RegDeleteValueA(key, "v"), kErrorFileNotFound);
  EXPECT_EQ(DumpRegistry(*r), before);  // reading created nothing
  ASSERT_EQ(r->RegCreateKeyA(kHkeyCurrentUser, "Software\\Example", &created), kErrorSuccess);
  EXPECT_EQ(DumpRegistryKey(*r, kHkeyUsers, "S-1-5-21-7", "U"),
            "[U]\n[U\\Software]\n[U\\Software\\Example]\n");
  // The handle taken before the key existed now reads it.
  EXPECT_EQ(r->RegEnumKeyA(key, 0, name, sizeof name), kErrorSuccess);
  EXPECT_STREQ(name, "Software");
}

TEST(TreeRegistryTest, StoreWithoutCurrentUserRefusesItAsAnotherMachineDoes) {
  auto r = OpenMemoryRegistry("");
  KeyHandle key = kNoKey;
  EXPECT_EQ(r->RegOpenKeyA(kHkeyCurrentUser, "", &key), kErrorInvalidHandle);
  EXPECT_EQ(r->RegCreateKeyA(kHkeyCurrentUser, "Software", &key), kErrorInvalidHandle);
  EXPECT_EQ(key, kNoKey);
  char name[8];
  EXPECT_EQ(r->RegEnumKeyA(kHkeyCurrentUser, 0, name, sizeof name), kErrorInvalidHandle);
  EXPECT_EQ(r->RegOpenKeyA(kHkeyUsers, ".DEFAULT", &key), kErrorSuccess);
}

}  // namespace
