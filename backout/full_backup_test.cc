// Tests of the full backup: the two files and what guards them, the progress line byte for
// byte, and unreadable keys.
#include "backout/full_backup.h"

#include <filesystem>

#include "testing/fault_registry.h"
#include "testing/store_fixture.h"

namespace {

namespace fs = std::filesystem;
using dx_testing::ReadWholeFile;
using dx_testing::WriteWholeFile;

constexpr char kLmFile[] = "HKLM_backup.reg";
constexpr char kUsersFile[] = "HKU_backup.reg";

// HKLM\A ("x"="1", with A1 below it), HKLM\b, HKU\C, HKU\D: four subkeys, so the spinner
// turns once round and starts again.
const char kLmBackup[] =
    "DORVALEX\n"
    "\nUPDATE:[HKEY_LOCAL_MACHINE]\n"
    "\nUPDATE:[HKEY_LOCAL_MACHINE\\A]\n"
    "UPDATE:\"x\"=\"1\"\n"
    "\nUPDATE:[HKEY_LOCAL_MACHINE\\A\\A1]\n"
    "\nUPDATE:[HKEY_LOCAL_MACHINE\\b]\n"
    "UPDATE:\"Path\"=\"C:\\\\\\\"q\\\"\"\n";
const char kUsersBackup[] =
    "DORVALEX\n\nUPDATE:[HKEY_USERS]\n\nUPDATE:[HKEY_USERS\\C]\n\nUPDATE:[HKEY_USERS\\D]\n";
const char kProgress[] =
    "Backing up HKEY_LOCAL_MACHINE registry key ...\n+\b|\b/\b-"
    "\bBacking up HKEY_USERS registry key ...\n+\b\\\b|";

class FullBackupTest : public dx_testing::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    previousDir_ = fs::current_path();
    fs::current_path(dir_);
    fault_ = std::make_unique<FaultRegistry>(*registry_);
    keys_ = std::make_unique<KeyAccess>(*fault_, state_);
    // A new store comes with keys of its own; the tests start from bare roots.
    for (const char* path : {"HKEY_LOCAL_MACHINE\\SOFTWARE", "HKEY_LOCAL_MACHINE\\SYSTEM",
                             "HKEY_USERS\\.DEFAULT"}) {
      ASSERT_TRUE(keys_->DeleteKeyPath(path, settings_.machineName));
    }
    Seed("A", "x", kRegSz, std::string("1\0", 2));
    SeedKey("A\\A1");
    Seed("b", "Path", kRegSz, std::string("C:\\\"q\"\0", 7));
    for (const char* name : {"C", "D"}) {
      KeyHandle key = kNoKey;
      ASSERT_EQ(registry_->RegCreateKeyA(kHkeyUsers, name, &key), 0);
      registry_->RegCloseKey(key);
    }
  }
  void TearDown() override {
    fs::current_path(previousDir_);
    fs::remove_all(dir_);
    StoreFixture::TearDown();
  }
  bool Backup(bool overwrite = false) { return FullBackup(settings_, *keys_, overwrite); }

  fs::path previousDir_;
  std::unique_ptr<FaultRegistry> fault_;
};

TEST_F(FullBackupTest, WritesBothRootsWithTheSpinnerTurningAcrossThem) {
  EXPECT_TRUE(Backup());
  EXPECT_EQ(ReadWholeFile(kLmFile), kLmBackup);
  EXPECT_EQ(ReadWholeFile(kUsersFile), kUsersBackup);
  EXPECT_EQ(output_.Take(), kProgress);
  EXPECT_FALSE(settings_.backoutOpen);
}

TEST_F(FullBackupTest, ExistingFilesNeedOverwrite) {
  const std::string refused = " exists, and /OVERWRITE was not specified\n";
  // Only the second exists: the first is not created either.
  WriteWholeFile(kUsersFile, "old hku");
  EXPECT_FALSE(Backup());
  EXPECT_EQ(output_.Take(), "***ERROR : HKU_backup.reg" + refused);
  EXPECT_FALSE(fs::exists(kLmFile));
  EXPECT_EQ(ReadWholeFile(kUsersFile), "old hku");
  // Existence, not readability: a dangling link counts, and is not followed.
  fs::remove(kUsersFile);
  fs::create_symlink(dir_ + "/elsewhere", kLmFile);
  EXPECT_FALSE(Backup());
  EXPECT_EQ(output_.Take(), "***ERROR : HKLM_backup.reg" + refused);
  EXPECT_FALSE(fs::exists(dir_ + "/elsewhere"));
  EXPECT_FALSE(fs::exists(kUsersFile));
  // With /OVERWRITE a longer old file is replaced whole.
  fs::remove(kLmFile);
  WriteWholeFile(kLmFile, std::string(100000, 'x'));
  EXPECT_TRUE(Backup(true));
  EXPECT_EQ(ReadWholeFile(kLmFile), kLmBackup);
}

TEST_F(FullBackupTest, UnreadableSubkeyIsReportedAndSkipped) {
  fault_->FailCall(RegCall::kQueryInfo, kErrorAccessDenied, "HKEY_LOCAL_MACHINE\\A");
  EXPECT_TRUE(Backup());
  // A's header stays with nothing under it; its subkey is not reached, so the spinner turns
  // for A, b, C and D only.
  EXPECT_EQ(ReadWholeFile(kLmFile),
            "DORVALEX\n\nUPDATE:[HKEY_LOCAL_MACHINE]\n\nUPDATE:[HKEY_LOCAL_MACHINE\\A]\n"
            "\nUPDATE:[HKEY_LOCAL_MACHINE\\b]\nUPDATE:\"Path\"=\"C:\\\\\\\"q\\\"\"\n");
  EXPECT_EQ(output_.Take(),
            "Backing up HKEY_LOCAL_MACHINE registry key ...\n+\b|"
            "\b***ERROR : Couldn't save \"HKEY_LOCAL_MACHINE\\A\"\nContinuing ...\n\b/"
            "\bBacking up HKEY_USERS registry key ...\n+\b-\b\\");
}

TEST_F(FullBackupTest, FailuresStopTheBackup) {
  fault_->FailCall(RegCall::kQueryInfo, kErrorAccessDenied, "HKEY_LOCAL_MACHINE");
  EXPECT_FALSE(Backup());
  EXPECT_EQ(output_.Take(),
            "Backing up HKEY_LOCAL_MACHINE registry key ...\n+"
            "\b***ERROR : Couldn't save \"HKEY_LOCAL_MACHINE\"\nContinuing ...\n"
            "***ERROR : Could not backup HKEY_LOCAL_MACHINE\n");
  EXPECT_EQ(ReadWholeFile(kLmFile), "DORVALEX\n\nUPDATE:[HKEY_LOCAL_MACHINE]\n");
  EXPECT_FALSE(fs::exists(kUsersFile));

  fs::remove(kLmFile);
  fs::create_symlink("/dev/full", kLmFile);  // a full disk
  EXPECT_FALSE(Backup(true));
  EXPECT_EQ(output_.Take(), "***ERROR : Unable to Write Backout File \"HKLM_backup.reg\"\n");
  EXPECT_FALSE(fs::exists(kUsersFile));
}

}  // namespace
