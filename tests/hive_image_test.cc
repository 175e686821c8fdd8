// Windows images: scripts applied to the hive files of a Windows folder (or to one hive file)
// through the roots Windows gives them, their backout files restoring every hive to the same
// keys, values and bytes as libregf reads them, and every hive written readable by libregf and
// hivex alike.
#include "tests/blackbox.h"

#ifdef DX_HAVE_HIVE
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "testing/hive_files.h"

namespace {

namespace fs = std::filesystem;
using dx_testing::ReaderComplaints;
using dx_testing::RegfExport;

constexpr const char* kConfig = "img/Windows/System32/config/";
constexpr const char* kAna = "img/Users/ana/NTUSER.DAT";

// Every file below `root`, with its size: a run must leave no file behind in the image.
std::set<std::string> FilesBelow(const std::string& root) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files.insert(entry.path().string());
  }
  return files;
}

class HiveImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::create_directory(box_.PathOf("img")));
    ASSERT_TRUE(dx_testing::BuildWindowsFolder(box_.PathOf("img")));
  }
  RunResult Run(const std::vector<std::string>& args, const char* user = "ana") {
    EnvChanges env{{"DORVALEX_REGISTRY", box_.PathOf("img")}};
    env["DORVALEX_HIVE_USER"] = user ? std::optional<std::string>(user) : std::nullopt;
    return box_.Run(args, env);
  }
  std::string Export(const std::string& hive) { return RegfExport(box_.PathOf(hive)); }

  BlackBox box_;
};

TEST_F(HiveImageTest, ScriptChangesHivesThroughTheirRootsAndItsBackoutRestoresThem) {
  const std::vector<std::string> hives = {std::string(kConfig) + "SOFTWARE",
                                          std::string(kConfig) + "SYSTEM", kAna};
  std::vector<std::string> before;
  for (const std::string& hive : hives) before.push_back(Export(hive));
  // The copy of a hive that a killed run left goes with the next change; a look-alike stays.
  box_.WriteFile(std::string(kConfig) + ".SOFTWARE.dorvalex-Ab12C", "kept");
  const std::set<std::string> files = FilesBelow(box_.PathOf("img"));
  box_.WriteFile(std::string(kConfig) + ".SOFTWARE.dorvalex-Ab12Cd", "left");
  std::string big = "00";
  for (int i = 1; i < 20000; ++i) big += ",00";
  box_.WriteFile("script.txt",
                 "DORVALEX\n"
                 "UPDATE:[HKLM\\SOFTWARE\\Vendor\\App]\n"
                 "UPDATE:\"Name\"=\"caf\xC3\xA9 \xE2\x82\xAC\"\n"
                 "UPDATE:\"Caf\xC3\xA9\"=Dword:00000010\n"
                 "UPDATE:\"List\"=Multi:\"a\",\"b\"\n"
                 "UPDATE:\"Big\"=hex:" + big + "\n"
                 "UPDATE:[HKLM\\SYSTEM\\CurrentControlSet\\Services\\Demo]\n"
                 "UPDATE:\"Start\"=Dword:00000003\n"
                 "UPDATE:[HKCU\\Software\\Demo]\n"
                 "UPDATE:@=\"dark\"\n"
                 "DELETE:[HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"
                 "\\ProfileList\\S-1-5-18]\n");
  RunResult apply = Run({"/REG:script.txt", "/BACKUP:undo.txt"});
  ASSERT_EQ(apply.exitCode, 0) << apply.output;

  std::string software = Export(hives[0]);
  EXPECT_NE(software.find("Key path: ROOT\\Vendor\\App"), std::string::npos) << software;
  EXPECT_NE(software.find("Value: 1 Caf\xC3\xA9"), std::string::npos) << software;
  EXPECT_EQ(software.find("S-1-5-18"), std::string::npos) << software;
  std::string system = Export(hives[1]);
  EXPECT_NE(system.find("Key path: ROOT\\ControlSet002\\Services\\Demo"), std::string::npos)
      << system;
  EXPECT_NE(Export(kAna).find("Key path: ROOT\\Software\\Demo"), std::string::npos);
  for (const std::string& hive : hives) EXPECT_EQ(ReaderComplaints(box_.PathOf(hive)), "");
  EXPECT_EQ(FilesBelow(box_.PathOf("img")), files);

  RunResult undo = Run({"/REG:undo.txt"});
  ASSERT_EQ(undo.exitCode, 0) << undo.output;
  for (size_t i = 0; i < hives.size(); ++i) EXPECT_EQ(Export(hives[i]), before[i]) << hives[i];
  EXPECT_EQ(FilesBelow(box_.PathOf("img")), files);
}

TEST_F(HiveImageTest, RootsFollowTheImageAndDirtyHivesAreOnlyRead) {
  box_.WriteFile("user.txt", "DORVALEX\nUPDATE:[HKCU\\Software]\nUPDATE:\"v\"=\"x\"\n");
  {  // HKCU needs a user; Bob is found by SID through %SystemDrive% and other letter cases.
    RunResult none = Run({"/REG:user.txt"}, nullptr);
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.output.find("(6)The handle is invalid."), std::string::npos) << none.output;
    EXPECT_EQ(Run({"/REG:user.txt"}, "S-1-5-21-7-1002").exitCode, 0);
    EXPECT_NE(Export("img/Users/BOB/ntuser.dat").find("Value: 0 v"), std::string::npos);
  }
  {  // The full backup lists the hives where Windows shows them, CurrentControlSet included.
    RunResult backup = Run({"/REGBACKUP"});
    ASSERT_EQ(backup.exitCode, 0) << backup.output;
    std::string machine = box_.ReadFile("HKLM_backup.reg").value_or("");
    for (const char* key : {"[HKEY_LOCAL_MACHINE\\SAM]", "[HKEY_LOCAL_MACHINE\\SECURITY]",
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services]"}) {
      EXPECT_NE(machine.find(key), std::string::npos) << key << "\n" << machine;
    }
    std::string users = box_.ReadFile("HKU_backup.reg").value_or("");
    for (const char* key : {"[HKEY_USERS\\.DEFAULT]", "[HKEY_USERS\\S-1-5-21-7-1001]",
                            "[HKEY_USERS\\S-1-5-21-7-1002\\Software]"}) {
      EXPECT_NE(users.find(key), std::string::npos) << key << "\n" << users;
    }
    EXPECT_EQ(users.find("S-1-5-18"), std::string::npos);  // no NTUSER.DAT in the image
  }
  {  // A dirty hive: read by a run without changes, never changed.
    const std::string system = box_.PathOf(std::string(kConfig) + "SYSTEM");
    std::fstream file(system, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(8);  // the second sequence number, behind the first: the checksum now fails
    file.put('\0');
    file.close();
    const std::string before = box_.ReadFile(system).value();
    box_.WriteFile("system.txt", "DORVALEX\nUPDATE:[HKLM\\SYSTEM\\CurrentControlSet\\X]\n");
    RunResult dry = Run({"/REG:system.txt", "/NOACTION"});
    EXPECT_EQ(dry.exitCode, 0) << dry.output;
    RunResult refused = Run({"/REG:system.txt"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.output.find("(1009)"), std::string::npos) << refused.output;
    EXPECT_EQ(box_.ReadFile(system).value(), before);
  }
  {  // A run that changes hives waits for another one on the same folder, then gives up.
    int folder = open(box_.PathOf(kConfig).c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(folder, LOCK_EX), 0);
    EnvChanges env{{"DORVALEX_REGISTRY", box_.PathOf("img")}, {"DORVALEX_HIVE_USER", "ana"},
                   {"DORVALEX_STORE_WAIT", "0.2"}};
    RunResult busy = box_.Run({"/REG:user.txt"}, env);
    close(folder);
    EXPECT_EQ(busy.exitCode, 1);
    EXPECT_NE(busy.output.find("is in use by another run"), std::string::npos) << busy.output;
  }
  {  // A single hive file is the key its name says.
    ASSERT_TRUE(dx_testing::WriteEmptyHive(box_.PathOf("Ntuser.dat")));
    ASSERT_TRUE(dx_testing::WriteEmptyHive(box_.PathOf("components")));
    EnvChanges env{{"DORVALEX_REGISTRY", box_.PathOf("Ntuser.dat")}};
    EXPECT_EQ(box_.Run({"/REG:user.txt"}, env).exitCode, 0);
    EXPECT_NE(RegfExport(box_.PathOf("Ntuser.dat")).find("ROOT\\Software"), std::string::npos);
    box_.WriteFile("other.txt", "DORVALEX\nUPDATE:[HKLM\\COMPONENTS\\C]\n");
    env["DORVALEX_REGISTRY"] = box_.PathOf("components");
    EXPECT_EQ(box_.Run({"/REG:other.txt"}, env).exitCode, 0);
    EXPECT_NE(RegfExport(box_.PathOf("components")).find("ROOT\\C"), std::string::npos);
  }
}

}  // namespace
#endif  // DX_HAVE_HIVE
