// Key path resolution: the root-name table, the refusals and their messages, the remote
// rules (seen through a registry that accepts connections) and the handle bookkeeping.
#include "registry/key_path.h"

#include "gtest/gtest.h"
#include "registry/backends/sqlite_registry.h"
#include "testing/capture_output.h"
#include "testing/fault_registry.h"
#include "testing/registry_dump.h"

namespace {

class KeyPathTest : public ::testing::Test {
 protected:
  KeyPathTest() : store_(OpenSqliteRegistry(":memory:")), registry_(*store_) {
    state_.lineNumber = 7;
  }

  void Seed(std::string_view path) {
    KeyHandle key = kNoKey;
    ASSERT_EQ(store_->RegCreateKeyA(kHkeyLocalMachine, path, &key), kErrorSuccess);
    store_->RegCloseKey(key);
  }
  // The calls that reached the registry, without the closes.
  std::vector<std::string> Calls() const {
    std::vector<std::string> calls;
    for (const std::string& line : registry_.log())
      if (line.rfind("RegCloseKey", 0) != 0) calls.push_back(line);
    return calls;
  }

  std::unique_ptr<RegistryService> store_;
  FaultRegistry registry_;
  ScriptState state_;
  KeyAccess keys_{registry_, state_};
  CaptureOutput output_;
};

const MachineName kLocal;

TEST_F(KeyPathTest, RootNamesAndResolutionMessages) {
  Seed("SOFTWARE\\Present");
  struct Row {
    const char* path;
    bool exists;
    const char* output;
  } rows[] = {
      {"HKLM\\SOFTWARE\\Present", true, ""},
      {"hkey_local_machine\\software\\PRESENT", true, ""},
      {"Hklm\\SOFTWARE\\Absent", false, ""},
      {"HKCR\\", true, ""},
      {"hkey_users\\.default", true, ""},
      {"HKEY_CURRENT_CONFIG\\", true, ""},
      {"HKLM", false,
       "***ERROR : Invalid Key - no root key found before \\\n***ERROR : [Line 7]:HKLM\n"},
      {"hku\\.DEFAULT", false, "***ERROR : Invalid Root Key\n***ERROR : [Line 7]:HKU\n"},
      {"HKCC\\x\\y", false, "***ERROR : Invalid Root Key\n***ERROR : [Line 7]:HKCC\n"},
      {"\\SOFTWARE", false, "***ERROR : Invalid Root Key\n***ERROR : [Line 7]:\n"},
      {"HKLM\\SOFTWARE\\\\Doubled", false, ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(keys_.KeyPathExists(row.path, kLocal), row.exists) << row.path;
    EXPECT_EQ(output_.Take(), row.output) << row.path;
  }
}

TEST_F(KeyPathTest, OpenCreatesUnlessOpenOnly) {
  KeyHandle key = 99;
  ASSERT_TRUE(keys_.OpenKeyPath("HKLM\\SOFTWARE\\New", &key, true, kLocal));
  EXPECT_EQ(key, kNoKey);  // open-only: a missing key is no error and creates nothing
  EXPECT_TRUE(keys_.CloseKeyPath("HKLM\\SOFTWARE\\New", key));
  EXPECT_FALSE(keys_.KeyPathExists("HKLM\\SOFTWARE\\New", kLocal));

  ASSERT_TRUE(keys_.OpenKeyPath("hklm\\SOFTWARE\\New\\Deeper", &key, false, kLocal));
  EXPECT_NE(key, kNoKey);
  EXPECT_TRUE(keys_.CloseKeyPath("HKLM\\SOFTWARE\\New\\Deeper", key));
  EXPECT_EQ(DumpRegistryKey(*store_, kHkeyLocalMachine, "SOFTWARE\\NEW", "N"),
            "[N]\n[N\\Deeper]\n");

  // A root name alone opens the root itself.
  ASSERT_TRUE(keys_.OpenKeyPath("HKEY_USERS", &key, true, kLocal));
  char name[32];
  EXPECT_EQ(registry_.RegEnumKeyA(key, 0, name, sizeof name), kErrorSuccess);
  EXPECT_STREQ(name, ".DEFAULT");
  EXPECT_TRUE(keys_.CloseKeyPath("HKEY_USERS", key));
  EXPECT_EQ(output_.Take(), "");
}

TEST_F(KeyPathTest, FailuresOfOpenAndCloseAreReportedWithThePath) {
  KeyHandle key = kNoKey;
  registry_.FailCall(RegCall::kCreate, kErrorAccessDenied);
  EXPECT_FALSE(keys_.OpenKeyPath("HKLM\\SOFTWARE\\Refused", &key, false, kLocal));
  EXPECT_EQ(output_.Take(),
            "***ERROR : Unable to Create Registry Key\n         : (5)Access is denied.\n"
            "***ERROR : [Line 7]:HKLM\\SOFTWARE\\Refused\n");
  EXPECT_FALSE(keys_.OpenKeyPath("HKU\\x", &key, false, kLocal));
  EXPECT_EQ(output_.Take(), "***ERROR : Invalid Root Key\n***ERROR : [Line 7]:HKU\n");

  ASSERT_TRUE(keys_.OpenKeyPath("HKLM\\SOFTWARE", &key, false, kLocal));
  registry_.FailCall(RegCall::kClose, kErrorInvalidHandle);
  EXPECT_FALSE(keys_.CloseKeyPath("HKLM\\SOFTWARE", key));
  EXPECT_EQ(output_.Take(),
            "***ERROR : Unable to Close Registry Key\n         : (6)The handle is invalid.\n"
            "***ERROR : [Line 7]:HKLM\\SOFTWARE\n");
  EXPECT_TRUE(keys_.CloseKeyPath("HKLM\\SOFTWARE", key));  // the handle was still open
}

TEST_F(KeyPathTest, RootKeysAreNeverDeleted) {
  Seed("SOFTWARE\\Keep");
  const std::string before = DumpRegistry(*store_);
  for (const char* path : {"HKLM\\", "hkey_local_machine\\", "HKCR\\", "HKCU\\", "HKEY_USERS\\",
                           "HKEY_CURRENT_CONFIG\\", "HKEY_PERFORMANCE_DATA\\",
                           "HKEY_CLASSES_ROOT\\", "HKEY_CURRENT_USER\\"}) {
    EXPECT_TRUE(IsRootKeyPath(path)) << path;
    EXPECT_FALSE(keys_.DeleteKeyPath(path, kLocal)) << path;
    EXPECT_EQ(output_.Take(), "***ERROR : Invalid Key - a root key cannot be deleted\n"
                              "***ERROR : [Line 7]:" + std::string(path) + "\n");
    // Also on a remote machine, before any connection is made.
    EXPECT_FALSE(keys_.DeleteKeyPath(path, MachineName("HOST"))) << path;
    output_.Take();
  }
  EXPECT_EQ(registry_.log().size(), 0u);
  EXPECT_EQ(DumpRegistry(*store_), before);
  for (const char* path : {"HKLM\\SOFTWARE", "HKU\\", "HKLM\\\\", "SOFTWARE\\", ""})
    EXPECT_FALSE(IsRootKeyPath(path)) << path;
  EXPECT_TRUE(IsRootKeyPath("hkcu"));
}

TEST_F(KeyPathTest, RemoteMachineRules) {
  registry_.AcceptConnections();
  // Every spelling of the machine name connects as \\NAME; only two characters are looked at.
  struct Row {
    const char* typed;
    const char* connected;
  } names[] = {{"HOST", "\\\\HOST"}, {"\\HOST", "\\\\HOST"}, {"\\\\HOST", "\\\\HOST"},
               {"\\\\\\HOST", "\\\\\\HOST"}, {"", "\\\\"}};
  for (const Row& row : names) {
    registry_.ClearLog();
    EXPECT_TRUE(keys_.KeyPathExists("HKEY_USERS\\.DEFAULT", MachineName(row.typed)));
    ASSERT_FALSE(registry_.log().empty());
    EXPECT_EQ(registry_.log()[0],
              "RegConnectRegistryA " + std::string(row.connected) + " HKEY_USERS");
    EXPECT_EQ(registry_.openConnections(), 0u) << row.typed;
  }

  // HKEY_CLASSES_ROOT is SOFTWARE\Classes under the remote HKEY_LOCAL_MACHINE.
  registry_.ClearLog();
  KeyHandle key = kNoKey;
  ASSERT_TRUE(keys_.OpenKeyPath("HKCR\\.txt", &key, false, MachineName("HOST")));
  EXPECT_EQ(registry_.openConnections(), 1u);  // kept for CloseKeyPath
  EXPECT_TRUE(keys_.CloseKeyPath("HKCR\\.txt", key));
  EXPECT_EQ(registry_.openConnections(), 0u);
  EXPECT_EQ(Calls(), (std::vector<std::string>{
                         "RegConnectRegistryA \\\\HOST HKEY_LOCAL_MACHINE",
                         "RegCreateKeyA \\\\HOST\\HKEY_LOCAL_MACHINE SOFTWARE\\Classes\\.txt"}));
  EXPECT_TRUE(keys_.KeyPathExists("HKLM\\SOFTWARE\\Classes\\.txt", kLocal));
  registry_.ClearLog();
  EXPECT_TRUE(keys_.KeyPathExists("HKEY_CLASSES_ROOT\\", MachineName("HOST")));
  EXPECT_EQ(Calls()[1], "RegOpenKeyA \\\\HOST\\HKEY_LOCAL_MACHINE SOFTWARE\\Classes");
  EXPECT_FALSE(keys_.KeyPathExists("HKLM\\SOFTWARE\\Missing", MachineName("HOST")));
  EXPECT_EQ(registry_.openConnections(), 0u);
  EXPECT_EQ(output_.Take(), "");

  // HKEY_CURRENT_USER is refused before any connection, with no line.
  registry_.ClearLog();
  EXPECT_FALSE(keys_.OpenKeyPath("HKCU\\Software", &key, false, MachineName("HOST")));
  EXPECT_FALSE(keys_.KeyPathExists("hkey_current_user\\x", MachineName("HOST")));
  EXPECT_EQ(output_.Take(),
            "***ERROR : HKEY_CURRENT_USER cannot be opened on a remote machine\n"
            "***ERROR : HKEY_CURRENT_USER cannot be opened on a remote machine\n");
  EXPECT_TRUE(registry_.log().empty());
}

TEST_F(KeyPathTest, RemoteConnectionFailuresAndTheConnectionSlot) {
  KeyHandle key = kNoKey;
  EXPECT_FALSE(keys_.OpenKeyPath("HKLM\\SOFTWARE", &key, false, MachineName("HOST")));
  EXPECT_EQ(output_.Take(), "***ERROR : Could not connect to remote registry\n"
                            "         : (53)The network path was not found.\n");

  registry_.AcceptConnections();
  ASSERT_TRUE(keys_.OpenKeyPath("HKLM\\SOFTWARE", &key, false, MachineName("HOST")));
  registry_.FailCall(RegCall::kClose, kErrorInvalidHandle, "\\\\HOST\\HKEY_LOCAL_MACHINE");
  EXPECT_FALSE(keys_.CloseKeyPath("HKLM\\SOFTWARE", key));
  EXPECT_EQ(output_.Take(), "***ERROR : Unable to Close Remote Registry Handle\n"
                            "         : (6)The handle is invalid.\n");
  // The slot and the key handle were both kept: a second close releases both.
  EXPECT_EQ(registry_.openConnections(), 1u);
  EXPECT_TRUE(keys_.CloseKeyPath("HKLM\\SOFTWARE", key));
  EXPECT_EQ(registry_.openConnections(), 0u);
  EXPECT_EQ(registry_.RegCloseKey(key), kErrorInvalidHandle);

  // ReleaseKeyPath closes both and says nothing, even when a close fails.
  ASSERT_TRUE(keys_.OpenKeyPath("HKLM\\SOFTWARE", &key, true, MachineName("HOST")));
  registry_.FailCall(RegCall::kClose, kErrorInvalidHandle, "\\\\HOST\\HKEY_LOCAL_MACHINE\\SOFTWARE");
  keys_.ReleaseKeyPath(key);
  EXPECT_EQ(registry_.openConnections(), 0u);
  EXPECT_EQ(output_.Take(), "");
}

}  // namespace
