// The program from the outside: usage text, banner, summary, backout file creation and the
// exit code of every way a run can end.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/blackbox.h"

namespace {

// The Windows build runs on an NT system, where the usage text names the remote machine.
const std::string kUsage = "\n" + kBanner +
    "Usage:\n"
    "DORVALEX /REGBACKUP [/OVERWRITE]\n"
    "DORVALEX /REG:\"Path to Input File\" [/BACKUP:\"Path to Backout File\"]\n"
    "         [/VERBOSE] [/NOACTION] [/OVERWRITE] [/CHANGES]\n"
    "         [/NOREVERSE]" + (kWindowsBuild ? " [/MACHINE:\"Computer Name\"]" : "") + "\n"
    "\n"
    " /REGBACKUP - Backs up HKLM and HKU keys to text file\n"
    " /VERBOSE   - Displays Verbose logging to stdout\n"
    " /NOACTION  - Does not actually write any changes to registry\n"
    " /OVERWRITE - Will continue if a backout file already exists\n"
    " /CHANGES   - Backup file (if specified) will only show changed items\n"
    " /NOREVERSE - Backup file will not be reversed\n" +
    (kWindowsBuild ? " /MACHINE:  - Applies Registry file to remote machine named\n" : "") + "\n";

const std::string kRefused =
    "***ERROR : Backout file already exists and /OVERWRITE was not specified\n";
const std::string kComment =
    "; Backout file is only showing keys that are overwritten by applying ";

std::string Summary(const std::string& input, const std::string& backout, bool noAction) {
  return kBanner + "Registry Input:\"" + input + "\"\n" +
         (backout.empty() ? "No Backout\n" : "Backout:\"" + backout + "\"\n") + "NoAction: " +
         (noAction ? "True" : "False") + "\n\n";
}

// A value set twice and one added, under a key the run creates.
const char kTwoChanges[] =
    "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\Example]\nUPDATE:\"v\"=\"first\"\nUPDATE:\"v\"=\"second\"\n"
    "UPDATE:\"added\"=Dword:00000001\n";

TEST(RunControlTest, EveryWayARunEnds) {
  struct Case {
    std::vector<std::string> args;
    std::string output;
    int exitCode;
    std::optional<std::string> backout;  // undo.txt afterwards
    bool untouched = false;              // the store was never opened
    const char* existing = nullptr;      // a file there before the run, which must stay
  };
  const std::string in = "in.txt", empty = "My Empty.TXT", applied = empty + " was applied.\n";
  const std::string parsing = "Parsing Backup File ...\nRewriting Backup File ...\n";
  const std::string missing = "***ERROR : Unable to open Registry Input File: \"absent.txt\"\n",
                    uncreated = "***ERROR : Unable to Create Backout File \"",
                    refused = "***ERROR : Backout File \"";
  auto unknown = [](const std::string& arg) {
    return "***ERROR : Unknown Option \"" + arg + "\"\n";
  };
  const std::string kManual = "The manual page tells more: man dorvalex\n";
  const std::string backup =
      kBanner + "Backing up HKEY_LOCAL_MACHINE registry key ...\n+\b|\b/\b-\b\\\b|\b/\b"
                "Backing up HKEY_USERS registry key ...\n+\b-\bFull Backup Complete.\n";
  const Case cases[] = {
      // No job: the usage text, and nothing is created.
      {{"/VERBOSE", "/BACKUP:undo.txt"}, kUsage, 1, {}, true},
      // Arguments that start with no option are refused, each named, before anything is made.
      {{"/REG:in.txt", "/BACKUP", "undo.txt", "/VERBSE", "/REG", "X/REG:in.txt", "/REGBACK"},
       unknown("/BACKUP") + unknown("undo.txt") + unknown("/VERBSE") + unknown("/REG") +
           unknown("X/REG:in.txt") + unknown("/REGBACK") + kUsage, 1, {}, true},
      {{"/REG:in.txt", "/BACKUP:undo.txt", "-h"}, kUsage + kManual, 0, {}, true},
      {{"--help"}, kUsage + kManual, 0, {}, true},
      {{"/REG:in.txt", "--version"}, "dorvalex 1.0.2.3\n", 0, {}, true},
      // Applied scripts end with their path as typed; the summary names the settings. A flag
      // counts at the start of an argument (/NOACTIONS is /NOACTION).
      {{"/VERBOSE", "/noactions", "/REG:" + empty}, Summary(empty, "", true) + applied, 0, {}},
      {{"/backup:undo.txt", "/verbose:yes", "/Reg:" + empty},
       Summary(empty, "undo.txt", false) + parsing + applied, 0, "DORVALEX\n\n"},
      // The reversal drops the /CHANGES comment and writes a blank line after the header.
      {{"/reg:" + empty, "/BACKUP:undo.txt", "/NOREVERSE"}, kBanner + applied, 0, "DORVALEX\n"},
      {{"/REG:" + empty, "/BACKUP:undo.txt", "/CHANGES"}, kBanner + applied, 0, "DORVALEX\n\n"},
      {{"/REG:" + empty, "/BACKUP:undo.txt", "/CHANGES", "/NOREVERSE"}, kBanner + applied, 0,
       "DORVALEX\n\n" + kComment + empty + "\n"},
      // A missing input fails after the backout file was made, which is still reversed.
      {{"/REG:absent.txt", "/BACKUP:undo.txt", "/VERBOSE"},
       Summary("absent.txt", "undo.txt", false) + missing + parsing, 1, "DORVALEX\n\n"},
      // A folder opens on some systems but is no script.
      {{"/REG:."}, kBanner + "***ERROR : Unable to open Registry Input File: \".\"\n", 1, {}},
      // A backout file that cannot be made stops the run before the banner.
      {{"/REG:in.txt", "/BACKUP:no/such/u.txt"}, uncreated + "no/such/u.txt\"\n", 1, {}, true},
      {{"/REG:in.txt", "/BACKUP:", "/VERBOSE"}, uncreated + "\"\n", 1, {}, true},
      {{"/REG:in.txt", "/BACKUP:/dev/full", "/OVERWRITE"},
       "***ERROR : Unable to Write Backout File \"/dev/full\"\n", 1, std::nullopt, true},
      // An existing backout file is never replaced without /OVERWRITE, nor is the script.
      {{"/REG:in.txt", "/BACKUP:undo.txt"}, kBanner + kRefused, 1, "precious\n", true, "undo.txt"},
      {{"/REG:in.txt", "/BACKUP:./in.txt", "/OVERWRITE"},
       refused + "./in.txt\" is the Registry Input File\n", 1, {}, true},
      {{"/REGBACKUP", "/BACKUP:store/registry.db", "/OVERWRITE"},
       refused + "store/registry.db\" is the Registry Store\n", 1, {}, false, "store/registry.db"},
      // The full backup wins over a script, and its own backout file is never reversed.
      {{"/REG:in.txt", "/VERBOSE", "/REGBACKUP"}, backup, 0, std::nullopt},
      {{"/REGBACKUP", "/BACKUP:undo.txt", "/CHANGES"}, backup, 0, "DORVALEX\n\n" + kComment + "\n"},
      {{"/REGBACKUP"}, kBanner + "***ERROR : HKLM_backup.reg exists, and /OVERWRITE was not "
       "specified\n", 1, {}, false, "HKLM_backup.reg"},
  };
  // The system's registry has no store file, and its size and its own unreadable keys (Wine's
  // Perflib\009) shape a full backup's progress: only the backup's first and last lines count.
  const bool live = BoxTraits().liveRegistry;
  for (const Case& c : cases) {
    if (live && c.existing && std::string_view(c.existing).starts_with("store/")) continue;
    SCOPED_TRACE(testing::PrintToString(c.args));
    BlackBox box;
    box.WriteFile(in, kTwoChanges);
    box.WriteFile(empty, "DORVALEX\n");
    if (c.existing) std::filesystem::create_directories(box.PathOf("store"));
    if (c.existing) box.WriteFile(c.existing, "precious\n");
    RunResult run = box.Run(c.args);
    if (live && c.output == backup) {
      EXPECT_TRUE(run.output.starts_with(backup.substr(0, backup.find('+'))) &&
                  run.output.ends_with("\bFull Backup Complete.\n")) << run.output;
    } else {
      EXPECT_EQ(run.output, c.output);
    }
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(box.ReadFile("undo.txt"), c.backout);
    EXPECT_TRUE(live || box.FileExists(box.storePath()) == !c.untouched);
    EXPECT_EQ(box.ReadFile(c.existing ? c.existing : in), c.existing ? "precious\n" : kTwoChanges);
  }
}

#ifndef _WIN32  // file modes and symbolic links of POSIX
// A backout file that exists counts, even unreadable or a link to nothing; /OVERWRITE replaces it.
TEST(RunControlTest, ExistenceOfTheBackoutFileCountsNotItsReadability) {
  BlackBox box;
  box.WriteFile("in.txt", kTwoChanges);
  box.WriteFile("locked.txt", "locked\n");
  chmod(box.PathOf("locked.txt").c_str(), 0);
  ASSERT_EQ(symlink("nowhere.txt", box.PathOf("link.txt").c_str()), 0);
  for (const char* path : {"locked.txt", "link.txt"}) {
    RunResult run = box.Run({"/REG:in.txt", std::string("/BACKUP:") + path});
    EXPECT_EQ(run.output, kBanner + kRefused) << path;
    EXPECT_EQ(run.exitCode, 1);
  }
  chmod(box.PathOf("locked.txt").c_str(), 0644);
  EXPECT_EQ(box.ReadFile("locked.txt"), "locked\n");
  EXPECT_EQ(box.Run({"/REG:in.txt", "/BACKUP:locked.txt", "/OVERWRITE"}).exitCode, 0);
  EXPECT_EQ(box.ReadFile("locked.txt"), "DORVALEX\n\nDELETE:[HKLM\\SOFTWARE\\Example]\n\n");
}
#endif

}  // namespace
