// Recursive deletion: the leaf-first walk and each of its failure messages, with faults
// injected where the store itself would not fail.
#include "registry/delete_tree.h"

#include "gtest/gtest.h"
#include "registry/backends/sqlite_registry.h"
#include "registry/key_path.h"
#include "testing/capture_output.h"
#include "testing/fault_registry.h"
#include "testing/registry_dump.h"

namespace {

class DeleteTreeTest : public ::testing::Test {
 protected:
  DeleteTreeTest() : store_(OpenSqliteRegistry(":memory:")), registry_(*store_) {
    state_.lineNumber = 3;
    // Tree\A\A1, Tree\A\A2, Tree\B, Tree\C with a value in each.
    for (const char* path : {"Tree\\A\\A1", "Tree\\A\\A2", "Tree\\B", "Tree\\C"}) {
      KeyHandle key = kNoKey;
      store_->RegCreateKeyA(kHkeyLocalMachine, std::string("SOFTWARE\\") + path, &key);
      store_->RegSetValueExA(key, "v", 0, kRegBinary, reinterpret_cast<const uint8_t*>("x"), 1);
      store_->RegCloseKey(key);
    }
  }

  std::string Tree() {
    return DumpRegistryKey(*store_, kHkeyLocalMachine, "SOFTWARE\\Tree", "T");
  }
  // The walk as the registry saw it: opens, enumerations and deletions.
  std::vector<std::string> Walk() const {
    std::vector<std::string> walk;
    for (const std::string& line : registry_.log())
      if (line.rfind("RegCloseKey", 0) != 0) walk.push_back(line);
    return walk;
  }

  std::unique_ptr<RegistryService> store_;
  FaultRegistry registry_;
  ScriptState state_;
  KeyAccess keys_{registry_, state_};
  CaptureOutput output_;
};

const MachineName kLocal;

TEST_F(DeleteTreeTest, DeletesLeavesFirstRestartingAtIndexZero) {
  ASSERT_TRUE(keys_.DeleteKeyPath("HKLM\\SOFTWARE\\Tree\\A", kLocal));
  const std::string m = "HKEY_LOCAL_MACHINE";
  const std::string a = m + "\\SOFTWARE\\Tree\\A";
  EXPECT_EQ(Walk(), (std::vector<std::string>{
                        "RegOpenKeyA " + m,
                        "RegOpenKeyExA " + m + " SOFTWARE\\Tree\\A",
                        "RegEnumKeyA " + a + " 0",
                        "RegOpenKeyExA " + a + " A1",
                        "RegEnumKeyA " + a + "\\A1 0",
                        "RegDeleteKeyA " + a + " A1",
                        "RegEnumKeyA " + a + " 0",
                        "RegOpenKeyExA " + a + " A2",
                        "RegEnumKeyA " + a + "\\A2 0",
                        "RegDeleteKeyA " + a + " A2",
                        "RegEnumKeyA " + a + " 0",
                        "RegDeleteKeyA " + m + " SOFTWARE\\Tree\\A",
                    }));
  EXPECT_EQ(Tree(), "[T]\n[T\\B]\n  \"v\"=3:78\n[T\\C]\n  \"v\"=3:78\n");
  EXPECT_EQ(output_.Take(), "");
  EXPECT_FALSE(keys_.KeyPathExists("HKLM\\SOFTWARE\\Tree\\A", kLocal));
}

TEST_F(DeleteTreeTest, RefusedChildStopsTheWalk) {
  registry_.FailCall(RegCall::kDeleteKey, kErrorAccessDenied, "B");
  EXPECT_FALSE(keys_.DeleteKeyPath("HKLM\\SOFTWARE\\Tree", kLocal));
  EXPECT_EQ(output_.Take(), "***ERROR : Could not delete Subkey - \"B\"\n"
                            "         : (5)Access is denied.\n");
  // A went before B; C, enumerated after B, was not touched.
  EXPECT_EQ(Tree(), "[T]\n[T\\B]\n  \"v\"=3:78\n[T\\C]\n  \"v\"=3:78\n");
}

TEST_F(DeleteTreeTest, EachFailureHasItsOneMessage) {
  struct Row {
    RegCall call;
    RegStatus code;
    const char* match;
    const char* output;
  } rows[] = {
      {RegCall::kOpenEx, kErrorAccessDenied, "A2",
       "***ERROR : Could not Open Enumerated Key During delete operation\n"
       "         : (5)Access is denied.\n"},
      {RegCall::kEnumKey, kErrorBadDb, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tree\\A",
       "***ERROR : Could not enumerate subkeys during delete operation\n"
       "         : (1009)The configuration registry database is corrupt.\n"},
      {RegCall::kDeleteKey, kErrorKeyDeleted, "SOFTWARE\\Tree",
       "***ERROR : Could not delete Subkey - \"SOFTWARE\\Tree\"\n"
       "         : (1018)Illegal operation attempted on a registry key that has been marked "
       "for deletion.\n"},
      // The silent failure: the root cannot be opened again.
      {RegCall::kOpen, kErrorAccessDenied, "", ""},
  };
  for (const Row& row : rows) {
    FaultRegistry registry(*store_);
    KeyAccess keys(registry, state_);
    registry.FailCall(row.call, row.code, row.match);
    EXPECT_FALSE(keys.DeleteKeyPath("HKLM\\SOFTWARE\\Tree", kLocal)) << row.output;
    EXPECT_EQ(output_.Take(), row.output);
  }
  EXPECT_TRUE(keys_.DeleteKeyPath("HKLM\\SOFTWARE\\Tree", kLocal));
  EXPECT_EQ(Tree(), "!open 2\n");
}

TEST_F(DeleteTreeTest, RemoteDeletionUsesOneConnectionAndReleasesIt) {
  registry_.AcceptConnections();
  EXPECT_TRUE(keys_.DeleteKeyPath("HKLM\\SOFTWARE\\Tree", MachineName("HOST")));
  EXPECT_EQ(registry_.openConnections(), 0u);
  int connects = 0;
  for (const std::string& line : registry_.log())
    connects += line.rfind("RegConnectRegistryA", 0) == 0;
  EXPECT_EQ(connects, 1);
  EXPECT_EQ(Tree(), "!open 2\n");
  EXPECT_FALSE(keys_.DeleteKeyPath("HKLM\\SOFTWARE\\Tree", MachineName("HOST")));
  EXPECT_EQ(output_.Take(), "***ERROR : Could not Open Enumerated Key During delete operation\n"
                            "         : (2)The system cannot find the file specified.\n");
  EXPECT_EQ(registry_.openConnections(), 0u);
}

// Fails each call of a deletion in turn: every run ends with at most one report, and the
// store still reads whole.
TEST_F(DeleteTreeTest, FailingAnyOneCallGivesOneReport) {
  ASSERT_TRUE(keys_.DeleteKeyPath("HKLM\\SOFTWARE\\Tree", kLocal));
  const int calls = registry_.calls();
  ASSERT_GT(calls, 10);
  for (int n = 1; n <= calls; ++n) {
    auto store = OpenSqliteRegistry(":memory:");
    for (const char* path : {"Tree\\A\\A1", "Tree\\A\\A2", "Tree\\B", "Tree\\C"}) {
      KeyHandle key = kNoKey;
      store->RegCreateKeyA(kHkeyLocalMachine, std::string("SOFTWARE\\") + path, &key);
      store->RegCloseKey(key);
    }
    FaultRegistry registry(*store);
    KeyAccess keys(registry, state_);
    registry.FailNthCall(n, kErrorAccessDenied);
    const bool deleted = keys.DeleteKeyPath("HKLM\\SOFTWARE\\Tree", kLocal);
    const std::string output = output_.Take();
    size_t reports = 0;
    for (size_t at = output.find("***ERROR"); at != std::string::npos;
         at = output.find("***ERROR", at + 1))
      ++reports;
    const std::string failed = registry.log()[n - 1];
    if (deleted) {
      // Only an unexamined close may fail without stopping the deletion.
      EXPECT_EQ(failed.rfind("RegCloseKey", 0), 0u) << failed;
      EXPECT_EQ(reports, 0u) << failed;
    } else {
      // The reopen of the root is the one silent failure.
      EXPECT_EQ(reports, failed.rfind("RegOpenKeyA", 0) == 0 ? 0u : 1u) << failed << output;
    }
    EXPECT_EQ(DumpRegistry(*store).find('!'), std::string::npos) << failed;
  }
}

TEST_F(DeleteTreeTest, DeepTreesAreDeletedWhole) {
  std::string path = "SOFTWARE\\Deep";
  for (int level = 0; level < 300; ++level) path += "\\L";
  KeyHandle key = kNoKey;
  ASSERT_EQ(store_->RegCreateKeyA(kHkeyLocalMachine, path, &key), kErrorSuccess);
  store_->RegCloseKey(key);
  EXPECT_TRUE(DeleteKeyTree(*store_, kHkeyLocalMachine, "SOFTWARE\\Deep"));
  EXPECT_EQ(store_->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE\\Deep", &key), kErrorFileNotFound);
}

}  // namespace
