// Tests of the full backup: the two files and what guards them, the progress line byte for
// byte, unreadable keys, and one consistent view of a store that changes during the walk.
#include "backout/full_backup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include "gtest/gtest.h"
#include "registry/backends/sqlite_registry.h"
#include "testing/capture_output.h"
#include "testing/registry_wrapper.h"

namespace {

constexpr char kLmFile[] = "HKLM_backup.reg";
constexpr char kUsersFile[] = "HKU_backup.reg";

// Fails the information query of the keys opened under the names it is given.
class UnreadableKeys final : public RegistryWrapper {
 public:
  using RegistryWrapper::RegistryWrapper;
  std::set<std::string> names;  // subkey paths below their root, as opened; "" for a root

  RegStatus RegOpenKeyExA(KeyHandle parent, std::string_view subkey, uint32_t options,
                          uint32_t access, KeyHandle* result) override {
    const RegStatus status = inner_.RegOpenKeyExA(parent, subkey, options, access, result);
    if (status == kErrorSuccess && names.count(std::string(subkey)) != 0) {
      unreadable_.insert(*result);
    }
    return status;
  }
  RegStatus RegQueryInfoKeyA(KeyHandle key, uint32_t* a, uint32_t* b, uint32_t* c) override {
    if (unreadable_.count(key) != 0) return kErrorAccessDenied;
    return inner_.RegQueryInfoKeyA(key, a, b, c);
  }

 private:
  std::set<KeyHandle> unreadable_;
};

class FullBackupTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/dx-fullbackup-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    previousDir_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    store_ = OpenSqliteRegistry(dir_ + "/store.db");
    registry_ = std::make_unique<UnreadableKeys>(*store_);
    keys_ = std::make_unique<KeyAccess>(*registry_, state_);
    // A new store comes with keys of its own; the tests start from bare roots.
    DeleteSubkeys(kHkeyLocalMachine);
    DeleteSubkeys(kHkeyUsers);
  }

  void DeleteSubkeys(KeyHandle key) {
    char name[256];
    while (store_->RegEnumKeyA(key, 0, name, sizeof name) == kErrorSuccess) {
      KeyHandle child = kNoKey;
      ASSERT_EQ(store_->RegOpenKeyA(key, name, &child), 0);
      DeleteSubkeys(child);
      ASSERT_EQ(store_->RegCloseKey(child), 0);
      ASSERT_EQ(store_->RegDeleteKeyA(key, name), 0);
    }
  }
  void TearDown() override {
    std::filesystem::current_path(previousDir_);
    std::filesystem::remove_all(dir_);
  }

  static void SetString(RegistryService& store, KeyHandle root, const std::string& subkey,
                        const std::string& name, const std::string& text) {
    KeyHandle key = kNoKey;
    ASSERT_EQ(store.RegCreateKeyA(root, subkey, &key), 0);
    if (!name.empty() || !text.empty()) {
      const std::string data = text + '\0';
      ASSERT_EQ(store.RegSetValueExA(key, name, 0, kRegSz,
                                     reinterpret_cast<const uint8_t*>(data.data()),
                                     static_cast<uint32_t>(data.size())),
                0);
    }
    ASSERT_EQ(store.RegCloseKey(key), 0);
  }
  void SetString(KeyHandle root, const std::string& subkey, const std::string& name = "",
                 const std::string& text = "") {
    SetString(*store_, root, subkey, name, text);
  }

  // HKLM\A ("x"="1", with A1 below it), HKLM\B, HKU\C, HKU\D: four subkeys, so the spinner
  // turns once round and starts again.
  void FillSmallStore() {
    SetString(kHkeyLocalMachine, "A", "x", "1");
    SetString(kHkeyLocalMachine, "A\\A1");
    SetString(kHkeyLocalMachine, "b", "Path", "C:\\\"q\"");
    SetString(kHkeyUsers, "C");
    SetString(kHkeyUsers, "D");
  }

  static std::optional<std::string> Read(const char* name) {
    std::ifstream in(name, std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static void Write(const char* name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
  }

  bool Backup(bool overwrite = false) { return FullBackup(settings_, *keys_, overwrite); }

  std::string dir_;
  std::filesystem::path previousDir_;
  std::unique_ptr<RegistryService> store_;
  std::unique_ptr<UnreadableKeys> registry_;
  RunSettings settings_;
  ScriptState state_;
  std::unique_ptr<KeyAccess> keys_;
  CaptureOutput output_;
};

const char kLmBackup[] =
    "DORVALEX\n"
    "\nUPDATE:[HKEY_LOCAL_MACHINE]\n"
    "\nUPDATE:[HKEY_LOCAL_MACHINE\\A]\n"
    "UPDATE:\"x\"=\"1\"\n"
    "\nUPDATE:[HKEY_LOCAL_MACHINE\\A\\A1]\n"
    "\nUPDATE:[HKEY_LOCAL_MACHINE\\b]\n"
    "UPDATE:\"Path\"=\"C:\\\\\\\"q\\\"\"\n";
const char kUsersBackup[] =
    "DORVALEX\n"
    "\nUPDATE:[HKEY_USERS]\n"
    "\nUPDATE:[HKEY_USERS\\C]\n"
    "\nUPDATE:[HKEY_USERS\\D]\n";
const char kProgress[] =
    "Backing up HKEY_LOCAL_MACHINE registry key ...\n+\b|\b/\b-"
    "\bBacking up HKEY_USERS registry key ...\n+\b\\\b|";

TEST_F(FullBackupTest, WritesBothRootsWithTheSpinnerTurningAcrossThem) {
  FillSmallStore();
  EXPECT_TRUE(Backup());
  EXPECT_EQ(Read(kLmFile), kLmBackup);
  EXPECT_EQ(Read(kUsersFile), kUsersBackup);
  EXPECT_EQ(output_.Take(), kProgress);
  EXPECT_FALSE(settings_.backoutOpen);
}

TEST_F(FullBackupTest, ExistingFilesNeedOverwrite) {
  FillSmallStore();
  {
    SCOPED_TRACE("both exist: only the first is named, neither is touched");
    Write(kLmFile, "old lm");
    Write(kUsersFile, "old hku");
    EXPECT_FALSE(Backup());
    EXPECT_EQ(output_.Take(),
              "***ERROR : HKLM_backup.reg exists, and /OVERWRITE was not specified\n");
    EXPECT_EQ(Read(kLmFile), "old lm");
    EXPECT_EQ(Read(kUsersFile), "old hku");
  }
  {
    SCOPED_TRACE("only the second exists: the first is not created either");
    std::filesystem::remove(kLmFile);
    EXPECT_FALSE(Backup());
    EXPECT_EQ(output_.Take(),
              "***ERROR : HKU_backup.reg exists, and /OVERWRITE was not specified\n");
    EXPECT_FALSE(std::filesystem::exists(kLmFile));
    EXPECT_EQ(Read(kUsersFile), "old hku");
  }
  {
    SCOPED_TRACE("existence, not readability: a dangling link counts");
    std::filesystem::remove(kUsersFile);
    std::filesystem::create_symlink(dir_ + "/elsewhere", kUsersFile);
    EXPECT_FALSE(Backup());
    EXPECT_EQ(output_.Take(),
              "***ERROR : HKU_backup.reg exists, and /OVERWRITE was not specified\n");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/elsewhere"));
    std::filesystem::remove(kUsersFile);
  }
  {
    SCOPED_TRACE("with /OVERWRITE both are written afresh");
    Write(kLmFile, std::string(100000, 'x'));
    Write(kUsersFile, std::string(100000, 'y'));
    EXPECT_TRUE(Backup(true));
    EXPECT_EQ(Read(kLmFile), kLmBackup);
    EXPECT_EQ(Read(kUsersFile), kUsersBackup);
    EXPECT_EQ(output_.Take(), kProgress);
  }
}

TEST_F(FullBackupTest, UnreadableSubkeyIsReportedAndSkipped) {
  FillSmallStore();
  registry_->names = {"A"};
  EXPECT_TRUE(Backup());
  // A's header stays with nothing under it; its subkey is not reached, so the spinner turns
  // for A, b, C and D only.
  EXPECT_EQ(Read(kLmFile),
            "DORVALEX\n"
            "\nUPDATE:[HKEY_LOCAL_MACHINE]\n"
            "\nUPDATE:[HKEY_LOCAL_MACHINE\\A]\n"
            "\nUPDATE:[HKEY_LOCAL_MACHINE\\b]\n"
            "UPDATE:\"Path\"=\"C:\\\\\\\"q\\\"\"\n");
  EXPECT_EQ(output_.Take(),
            "Backing up HKEY_LOCAL_MACHINE registry key ...\n+\b|"
            "\b***ERROR : Couldn't save \"HKEY_LOCAL_MACHINE\\A\"\nContinuing ...\n\b/"
            "\bBacking up HKEY_USERS registry key ...\n+\b-\b\\");
}

TEST_F(FullBackupTest, FailuresStopTheBackup) {
  FillSmallStore();
  {
    SCOPED_TRACE("an unreadable root");
    registry_->names = {""};
    EXPECT_FALSE(Backup());
    EXPECT_EQ(output_.Take(),
              "Backing up HKEY_LOCAL_MACHINE registry key ...\n+"
              "\b***ERROR : Couldn't save \"HKEY_LOCAL_MACHINE\"\nContinuing ...\n"
              "***ERROR : Could not backup HKEY_LOCAL_MACHINE\n");
    EXPECT_EQ(Read(kLmFile), "DORVALEX\n\nUPDATE:[HKEY_LOCAL_MACHINE]\n");
    EXPECT_FALSE(std::filesystem::exists(kUsersFile));
    registry_->names.clear();
  }
  {
    SCOPED_TRACE("a file that cannot be created");
    std::filesystem::remove(kLmFile);
    std::filesystem::create_directory(kUsersFile);
    EXPECT_FALSE(Backup(true));
    EXPECT_EQ(Read(kLmFile), kLmBackup);
    const std::string out = output_.Take();
    EXPECT_TRUE(out.ends_with("***ERROR : Unable to Create Backout File \"HKU_backup.reg\"\n"))
        << out;
    std::filesystem::remove(kUsersFile);
  }
  {
    SCOPED_TRACE("a full disk");
    std::filesystem::remove(kLmFile);
    std::filesystem::create_symlink("/dev/full", kLmFile);
    EXPECT_FALSE(Backup(true));
    EXPECT_EQ(output_.Take(), "***ERROR : Unable to Write Backout File \"HKLM_backup.reg\"\n");
    EXPECT_FALSE(std::filesystem::exists(kUsersFile));
  }
}

// Writes through a second connection to the same store file once the walk has begun.
class WriterDuringWalk final : public RegistryWrapper {
 public:
  WriterDuringWalk(RegistryService& inner, RegistryService& writer)
      : RegistryWrapper(inner), writer_(writer) {}
  int writes = 0;

  RegStatus RegEnumKeyA(KeyHandle key, uint32_t index, char* name, uint32_t size) override {
    if (writes == 0) {
      ++writes;
      // A change visited later in the walk, a new key and a deleted one, each committed.
      KeyHandle changed = kNoKey;
      EXPECT_EQ(writer_.RegCreateKeyA(kHkeyUsers, "D\\New", &changed), 0);
      const uint8_t data[] = {'2', 0};
      EXPECT_EQ(writer_.RegSetValueExA(changed, "y", 0, kRegSz, data, 2), 0);
      EXPECT_EQ(writer_.RegCloseKey(changed), 0);
      EXPECT_EQ(writer_.RegDeleteKeyA(kHkeyUsers, "C"), 0);
      EXPECT_EQ(writer_.RegDeleteKeyA(kHkeyLocalMachine, "A\\A1"), 0);
    }
    return inner_.RegEnumKeyA(key, index, name, size);
  }

 private:
  RegistryService& writer_;
};

TEST_F(FullBackupTest, ReadsTheStoreAsItWasWhenTheBackupBegan) {
  FillSmallStore();
  std::unique_ptr<RegistryService> writer = OpenSqliteRegistry(dir_ + "/store.db");
  WriterDuringWalk registry(*store_, *writer);
  KeyAccess keys(registry, state_);
  EXPECT_TRUE(FullBackup(settings_, keys, false));
  EXPECT_EQ(registry.writes, 1);
  EXPECT_EQ(Read(kLmFile), kLmBackup);
  EXPECT_EQ(Read(kUsersFile), kUsersBackup);
  EXPECT_EQ(output_.Take(), kProgress);

  // The writes did happen, and a later backup sees them.
  ASSERT_TRUE(Backup(true));
  EXPECT_EQ(Read(kUsersFile),
            "DORVALEX\n"
            "\nUPDATE:[HKEY_USERS]\n"
            "\nUPDATE:[HKEY_USERS\\D]\n"
            "\nUPDATE:[HKEY_USERS\\D\\New]\n"
            "UPDATE:\"y\"=\"2\"\n");
}

}  // namespace
