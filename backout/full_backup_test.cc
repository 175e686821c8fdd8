// Tests of the full backup: the two files and what guards them, the progress line byte for
// byte, and unreadable keys.
#include "backout/full_backup.h"

#include <filesystem>

#include "testing/fault_registry.h"
#include "testing/store_fixture.h"

namespace {

namespace fs = std::filesystem;
using dx_testing::ReadWholeFile;

constexpr char kLmFile[] = "HKLM_backup.reg", kUsersFile[] = "HKU_backup.reg";
const std::string kLmHead =
    "DORVALEX\n\nUPDATE:[HKEY_LOCAL_MACHINE]\n\nUPDATE:[HKEY_LOCAL_MACHINE\\A]\n";
const std::string kLmTail =
    "\nUPDATE:[HKEY_LOCAL_MACHINE\\b]\nUPDATE:\"Path\"=\"C:\\\\\\\"q\\\"\"\n";

// HKLM\A ("x"="1", with A1 below it), HKLM\b, HKU\C, HKU\D: four subkeys, so the spinner
// turns once round and starts again.
class FullBackupFilesTest : public dx_testing::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    fs::current_path(dir_);
    fault_ = std::make_unique<FaultRegistry>(*registry_);
    keys_ = std::make_unique<KeyAccess>(*fault_, state_);
    // A new store comes with keys of its own; the tests start from bare roots.
    for (const char* path : {"HKEY_LOCAL_MACHINE\\SOFTWARE", "HKEY_LOCAL_MACHINE\\SYSTEM",
                             "HKEY_USERS\\.DEFAULT"}) {
      ASSERT_TRUE(keys_->DeleteKeyPath(path, settings_.machineName));
    }
    Seed("A", "x", kRegSz, std::string("1\0", 2));
    Seed("b", "Path", kRegSz, std::string("C:\\\"q\"\0", 7));
    for (const char* path : {"HKEY_LOCAL_MACHINE\\A\\A1", "HKEY_USERS\\C", "HKEY_USERS\\D"}) {
      KeyHandle key = kNoKey;
      ASSERT_TRUE(keys_->OpenKeyPath(path, &key, false, settings_.machineName));
      keys_->ReleaseKeyPath(key);
    }
  }
  ~FullBackupFilesTest() override { fs::current_path(previousDir_); }
  bool Backup(bool overwrite = false) {
    return FullBackup(*keys_, overwrite, [](const std::string&) { return false; });
  }

  fs::path previousDir_ = fs::current_path();
  std::unique_ptr<FaultRegistry> fault_;
};

TEST_F(FullBackupFilesTest, UnreadableSubkeyIsSkippedWhileAnUnreadableRootOrFullDiskStops) {
  // A keeps its header only; A1 is not reached, so the spinner turns for A, b, C and D.
  fault_->FailCall(RegCall::kQueryInfo, kErrorAccessDenied, "HKEY_LOCAL_MACHINE\\A");
  EXPECT_TRUE(Backup());
  EXPECT_EQ(ReadWholeFile(kLmFile), kLmHead + kLmTail);
  EXPECT_EQ(output_.Take(),
            "Backing up HKEY_LOCAL_MACHINE registry key ...\n+\b|"
            "\b***ERROR : Couldn't save \"HKEY_LOCAL_MACHINE\\A\"\nContinuing ...\n\b/"
            "\bBacking up HKEY_USERS registry key ...\n+\b-\b\\");

  fs::remove(kUsersFile);
  fault_->FailCall(RegCall::kQueryInfo, kErrorAccessDenied, "HKEY_LOCAL_MACHINE");
  EXPECT_FALSE(Backup(true));
  EXPECT_EQ(output_.Take(),
            "Backing up HKEY_LOCAL_MACHINE registry key ...\n+"
            "\b***ERROR : Couldn't save \"HKEY_LOCAL_MACHINE\"\nContinuing ...\n"
            "***ERROR : Could not backup HKEY_LOCAL_MACHINE\n");
  EXPECT_EQ(ReadWholeFile(kUsersFile), "DORVALEX\n");  // both are created before the walk
  fs::remove(kUsersFile);

  fs::remove(kLmFile);
  fs::create_symlink("/dev/full", kLmFile);  // a full disk
  EXPECT_FALSE(Backup(true));
  EXPECT_EQ(output_.Take(), "***ERROR : Unable to Write Backout File \"HKLM_backup.reg\"\n");
  EXPECT_FALSE(fs::exists(kUsersFile));
}

}  // namespace
