// Recursive deletion: each of its failure messages, and one report at most whichever call
// fails, with faults injected where the store itself would not fail.
#include "registry/delete_tree.h"

#include <algorithm>

#include "gtest/gtest.h"
#include "testing/capture_output.h"
#include "testing/fault_registry.h"
#include "registry/sqlite/sqlite_registry.h"
#include "testing/registry_dump.h"

namespace {

// A store holding Tree\A\A1, Tree\A\A2, Tree\B and Tree\C under HKLM\SOFTWARE, a value in each.
std::unique_ptr<RegistryService> SeededRegistry() {
  std::unique_ptr<RegistryService> store = OpenSqliteRegistry(":memory:");
  for (const char* path : {"Tree\\A\\A1", "Tree\\A\\A2", "Tree\\B", "Tree\\C"}) {
    KeyHandle key = kNoKey;
    store->RegCreateKeyA(kHkeyLocalMachine, std::string("SOFTWARE\\") + path, &key);
    store->RegSetValueExA(key, "v", 0, kRegBinary, reinterpret_cast<const uint8_t*>("x"), 1);
    store->RegCloseKey(key);
  }
  return store;
}

std::string Tree(RegistryService& store) {
  return DumpRegistryKey(store, kHkeyLocalMachine, "SOFTWARE\\Tree", "T");
}

class DeleteTreeTest : public ::testing::Test {
 protected:
  CaptureOutput output_;
};

bool DeleteTree(RegistryService& registry) {
  return DeleteKeyTree(registry, kHkeyLocalMachine, "SOFTWARE\\Tree");
}

TEST_F(DeleteTreeTest, EachFailureHasItsOneMessage) {
  struct Row { RegCall call; RegStatus code; const char *match, *output; } rows[] = {
      {RegCall::kDeleteKey, kErrorAccessDenied, "B",
       "***ERROR : Could not delete Subkey - \"B\"\n         : (5)Access is denied.\n"},
      {RegCall::kOpenEx, kErrorAccessDenied, "A2",
       "***ERROR : Could not Open Enumerated Key During delete operation\n"
       "         : (5)Access is denied.\n"},
      {RegCall::kEnumKey, kErrorBadDb, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tree\\A",
       "***ERROR : Could not enumerate subkeys during delete operation\n"
       "         : (1009)The configuration registry database is corrupt.\n"},
  };
  for (const Row& row : rows) {
    auto store = SeededRegistry();
    FaultRegistry registry(*store);
    registry.FailCall(row.call, row.code, row.match);
    EXPECT_FALSE(DeleteTree(registry)) << row.output;
    EXPECT_EQ(output_.Take(), row.output);
    // A refused child stops the walk: A went before B, C (after B) was not touched.
    if (row.match == std::string("B")) {
      EXPECT_EQ(Tree(*store), "[T]\n[T\\B]\n  \"v\"=3:78\n[T\\C]\n  \"v\"=3:78\n");
    }
  }
}

// Fails each call of a deletion in turn: every run ends with at most one report, and the
// store still reads whole.
TEST_F(DeleteTreeTest, FailingAnyOneCallGivesOneReport) {
  auto whole = SeededRegistry();
  FaultRegistry counting(*whole);
  ASSERT_TRUE(DeleteTree(counting));
  EXPECT_EQ(Tree(*whole), "!open 2\n");
  const int calls = counting.calls();
  ASSERT_GT(calls, 10);
  for (int n = 1; n <= calls; ++n) {
    auto store = SeededRegistry();
    FaultRegistry registry(*store);
    registry.FailNthCall(n, kErrorAccessDenied);
    const bool deleted = DeleteTree(registry);
    const std::string output = output_.Take();
    const auto lines = std::count(output.begin(), output.end(), '\n');  // a report is two
    const std::string failed = registry.log()[n - 1];
    if (deleted) {
      // Only an unexamined close may fail without stopping the deletion.
      EXPECT_EQ(failed.rfind("RegCloseKey", 0), 0u) << failed;
      EXPECT_EQ(lines, 0) << failed;
    } else {
      EXPECT_EQ(lines, 2) << failed << output;
    }
    EXPECT_EQ(DumpRegistry(*store).find('!'), std::string::npos) << failed;
  }
}

}  // namespace
