// Key path resolution: the root-name table, the refusals and their messages, the remote
// rules (seen through a registry that accepts connections) and the handle bookkeeping.
#include "ops/key_path.h"

#include "backout/snapshot.h"
#include "gtest/gtest.h"
#include "registry/sqlite/sqlite_registry.h"
#include "testing/capture_output.h"
#include "testing/fault_registry.h"

namespace {

class KeyPathTest : public ::testing::Test {
 protected:
  KeyPathTest() { state_.lineNumber = 7; }

  std::unique_ptr<RegistryService> store_ = OpenSqliteRegistry(":memory:");
  FaultRegistry registry_{*store_};
  ScriptState state_;
  KeyAccess keys_{registry_, state_};
  CaptureOutput output_;
  bool unknown_ = false;
};

const MachineName kLocal;
const MachineName kHost("HOST");

TEST_F(KeyPathTest, RootNamesAndResolutionMessages) {
  struct Row { const char* path; bool exists; const char* output; } rows[] = {
      {"hkey_local_machine\\software\\CLASSES", true, ""},
      {"Hklm\\SOFTWARE\\Absent", false, ""},
      {"HKEY_CURRENT_CONFIG\\", true, ""},
      {"HKLM", false,
       "***ERROR : Invalid Key - no root key found before \\\n***ERROR : [Line 7]:HKLM\n"},
      {"hku\\.DEFAULT", false, "***ERROR : Invalid Root Key\n***ERROR : [Line 7]:HKU\n"},
      {"\\SOFTWARE", false, "***ERROR : Invalid Root Key\n***ERROR : [Line 7]:\n"},
      {"HKLM\\SOFTWARE\\\\Classes", false, ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(keys_.KeyPathExists(row.path, kLocal, &unknown_), row.exists) << row.path;
    EXPECT_EQ(output_.Take(), row.output) << row.path;
  }
}

// Only "not found" proves a key absent: an unreadable or busy store must never make a run
// record the deletion of a key that is there.
TEST_F(KeyPathTest, OnlyNotFoundCountsAsAbsent) {
  registry_.FailCall(RegCall::kOpen, kErrorAccessDenied);
  EXPECT_TRUE(keys_.KeyPathExists("HKLM\\SOFTWARE\\Locked", kLocal, &unknown_));
  EXPECT_FALSE(unknown_);
  registry_.FailCall(RegCall::kOpen, kErrorBusy);
  EXPECT_FALSE(keys_.KeyPathExists("HKLM\\SOFTWARE", kLocal, &unknown_));
  EXPECT_TRUE(unknown_);
  EXPECT_EQ(output_.Take(),
            "***ERROR : Unable to Open Registry Key\n"
            "         : (170)The requested resource is in use.\n"
            "***ERROR : [Line 7]:HKLM\\SOFTWARE\n");
}

// (A refused create is reported through the operations: ops/multi_string_test.cc.)
TEST_F(KeyPathTest, FailuresAreReportedWithThePath) {
  KeyHandle key = kNoKey;
  ASSERT_TRUE(keys_.OpenKeyPath("HKLM\\SOFTWARE", &key, false, kLocal));
  registry_.FailCall(RegCall::kClose, kErrorInvalidHandle);
  EXPECT_FALSE(keys_.CloseKeyPath("HKLM\\SOFTWARE", key));
  EXPECT_EQ(output_.Take(),
            "***ERROR : Unable to Close Registry Key\n         : (6)The handle is invalid.\n"
            "***ERROR : [Line 7]:HKLM\\SOFTWARE\n");
  EXPECT_TRUE(keys_.CloseKeyPath("HKLM\\SOFTWARE", key));  // the handle was still open
  // A delete whose root cannot be opened says so.
  registry_.FailCall(RegCall::kOpen, kErrorBusy);
  EXPECT_FALSE(keys_.DeleteKeyPath("HKLM\\SOFTWARE\\X", kLocal));
  EXPECT_EQ(output_.Take(), "***ERROR : Unable to Open Registry Key\n"
                            "         : (170)The requested resource is in use.\n"
                            "***ERROR : [Line 7]:HKLM\\SOFTWARE\\X\n");
}

TEST_F(KeyPathTest, RemoteMachineRules) {
  registry_.AcceptConnections();
  // Only the first two characters of the machine name are looked at for backslashes.
  for (auto [typed, connected] : {std::pair{"HOST", "\\\\HOST"}, {"\\\\\\HOST", "\\\\\\HOST"}}) {
    registry_.ClearLog();
    EXPECT_TRUE(keys_.KeyPathExists("HKEY_USERS\\.DEFAULT", MachineName(typed), &unknown_));
    EXPECT_EQ(registry_.log().at(0),
              "RegConnectRegistryA " + std::string(connected) + " HKEY_USERS");
    EXPECT_EQ(registry_.openConnections(), 0u) << typed;
  }
  // A snapshot opens key after key, each through a connection: none stays after the delete.
  KeyHandle key = kNoKey;
  ASSERT_TRUE(keys_.OpenKeyPath("HKLM\\SOFTWARE\\T\\A\\B", &key, false, kLocal));
  keys_.ReleaseKeyPath(key);
  BackoutFile out;
  ASSERT_TRUE(out.Create("/dev/null", true));
  EXPECT_TRUE(SnapshotKey(keys_, out, "HKLM\\SOFTWARE\\T", kHost, nullptr));
  EXPECT_TRUE(keys_.DeleteKeyPath("HKLM\\SOFTWARE\\T", kHost));
  EXPECT_EQ(registry_.openConnections(), 0u);
  // HKEY_CURRENT_USER is refused before any connection, with no line.
  registry_.ClearLog();
  EXPECT_FALSE(keys_.KeyPathExists("hkey_current_user\\x", kHost, &unknown_));
  EXPECT_EQ(output_.Take(), "***ERROR : HKEY_CURRENT_USER cannot be opened on a remote machine\n");
  EXPECT_TRUE(registry_.log().empty());
}

TEST_F(KeyPathTest, FailedRemoteCloseKeepsTheConnectionSlot) {
  KeyHandle key = kNoKey;
  registry_.AcceptConnections();
  ASSERT_TRUE(keys_.OpenKeyPath("HKLM\\SOFTWARE", &key, false, kHost));
  registry_.FailCall(RegCall::kClose, kErrorInvalidHandle, "\\\\HOST\\HKEY_LOCAL_MACHINE");
  EXPECT_FALSE(keys_.CloseKeyPath("HKLM\\SOFTWARE", key));
  EXPECT_EQ(output_.Take(), "***ERROR : Unable to Close Remote Registry Handle\n"
                            "         : (6)The handle is invalid.\n");
  // The slot and the key handle were both kept: a second close releases both.
  EXPECT_EQ(registry_.openConnections(), 1u);
  EXPECT_TRUE(keys_.CloseKeyPath("HKLM\\SOFTWARE", key));
  EXPECT_EQ(registry_.openConnections(), 0u);
  EXPECT_EQ(registry_.RegCloseKey(key), kErrorInvalidHandle);
}

}  // namespace
