// The program from the outside: usage text, banner, summary, backout file creation and the
// exit code of every way a run can end.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/blackbox.h"

namespace {

const std::string kBanner =
    "DORVALEX Version 1.0.2.3  (c) DORVALEX developers\n"
    "         Running on Unknown OS Operating System\n"
    "\n";

const std::string kUsage =
    "\n"
    "DORVALEX Version 1.0.2.3  (c) DORVALEX developers\n"
    "         Running on Unknown OS Operating System\n"
    "\n"
    "Usage:\n"
    "DORVALEX /REGBACKUP [/OVERWRITE]\n"
    "DORVALEX /REG:\"Path to Input File\" [/BACKUP:\"Path to Backout File\"]\n"
    "         [/VERBOSE] [/NOACTION] [/OVERWRITE] [/CHANGES]\n"
    "         [/NOREVERSE]\n"
    "\n"
    " /REGBACKUP - Backs up HKLM and HKU keys to text file\n"
    " /VERBOSE   - Displays Verbose logging to stdout\n"
    " /NOACTION  - Does not actually write any changes to registry\n"
    " /OVERWRITE - Will continue if a backout file already exists\n"
    " /CHANGES   - Backup file (if specified) will only show changed items\n"
    " /NOREVERSE - Backup file will not be reversed\n"
    "\n";

const std::string kRefused =
    "***ERROR : Backout file already exists and /OVERWRITE was not specified\n";

// Sets one value over a seeded old one, twice, so that only a last-first backout restores it.
const char kTwoChanges[] =
    "DORVALEX\n"
    "UPDATE:[HKLM\\SOFTWARE\\Example]\n"
    "UPDATE:\"v\"=\"first\"\n"
    "UPDATE:\"v\"=\"second\"\n"
    "UPDATE:\"added\"=Dword:00000001\n";

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(RunControlTest, UsageTextWhenNoJobIsNamed) {
  const std::vector<std::vector<std::string>> commandLines = {
      {},
      {"/REG"},                        // the value form needs its colon
      {"/REG", "in.txt"},
      {"/VERBOSE", "/BACKUP:undo.txt"},  // no job: nothing is created
      {"X/REG:in.txt"},                // an option counts only at the start of an argument
      {"-REG:in.txt"},
      {"/REGBACK"},
      {"/BACKUP:/tmp/x/REGBACKUP"},
  };
  for (const auto& args : commandLines) {
    BlackBox box;
    box.WriteFile("in.txt", "DORVALEX\n");
    RunResult run = box.Run(args);
    SCOPED_TRACE(args.empty() ? "(none)" : args[0]);
    EXPECT_EQ(run.output, kUsage);
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_FALSE(box.FileExists("undo.txt"));
    EXPECT_FALSE(box.FileExists(box.storePath()));
  }
}

TEST(RunControlTest, AppliedScriptEndsWithItsPathAsTyped) {
  BlackBox box;
  box.WriteFile("My Script.TXT", kTwoChanges);
  RunResult run = box.Run({"/reg:My Script.TXT"});
  EXPECT_EQ(run.output, kBanner + "My Script.TXT was applied.\n");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(box.DumpStore().find("\"v\"=1:\"second\""), std::string::npos) << box.DumpStore();

  // Option names inside a path are part of the path, not options.
  BlackBox nested;
  mkdir(nested.PathOf("noaction").c_str(), 0755);
  nested.WriteFile("noaction/in.txt", kTwoChanges);
  run = nested.Run({"/REG:noaction/in.txt", "/VERBOSE"});
  EXPECT_NE(run.output.find("NoAction: False\n"), std::string::npos) << run.output;
  EXPECT_TRUE(EndsWith(run.output, "noaction/in.txt was applied.\n")) << run.output;
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(nested.DumpStore().find("\"v\"=1:\"second\""), std::string::npos);
}

TEST(RunControlTest, VerboseSummaryNamesTheSettings) {
  {
    BlackBox box;
    box.WriteFile("in.txt", "DORVALEX\n");
    RunResult run = box.Run({"/VERBOSE", "/NOACTION", "/REG:in.txt"});
    EXPECT_EQ(run.output, kBanner +
                              "Registry Input:\"in.txt\"\n"
                              "No Backout\n"
                              "NoAction: True\n"
                              "\n"
                              "in.txt was applied.\n");
    EXPECT_EQ(run.exitCode, 0);
  }
  {
    BlackBox box;
    box.WriteFile("In.Txt", "DORVALEX\n");
    RunResult run = box.Run({"/backup:Undo.Txt", "/verbose:yes", "/Reg:In.Txt"});
    EXPECT_EQ(run.output, kBanner +
                              "Registry Input:\"In.Txt\"\n"
                              "Backout:\"Undo.Txt\"\n"
                              "NoAction: False\n"
                              "\n"
                              "Parsing Backup File ...\n"
                              "Rewriting Backup File ...\n"
                              "In.Txt was applied.\n");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(box.ReadFile("Undo.Txt"), "DORVALEX\n\n");
  }
  {
    // Without /VERBOSE only the banner and the completion line are printed.
    BlackBox box;
    box.WriteFile("in.txt", "DORVALEX\n");
    RunResult run = box.Run({"/NOACTIONS", "/REG:in.txt", "/BACKUP:undo.txt"});
    EXPECT_EQ(run.output, kBanner + "in.txt was applied.\n");
  }
}

TEST(RunControlTest, NoActionRunChangesNothingButWritesTheBackout) {
  BlackBox box;
  box.SetString("HKLM\\SOFTWARE\\Example", "v", "orig");
  std::string before = box.DumpStore();
  box.WriteFile("in.txt", kTwoChanges);
  RunResult run = box.Run({"/REG:in.txt", "/NOACTION", "/BACKUP:undo.txt"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(box.DumpStore(), before);
  std::string backout = box.ReadFile("undo.txt").value_or("");
  EXPECT_NE(backout.find("UPDATE:\"v\"=\"orig\"\n"), std::string::npos) << backout;
}

TEST(RunControlTest, BackoutHeaderAndChangesComment) {
  struct Case {
    std::vector<std::string> args;
    std::string backout;
  };
  const Case cases[] = {
      {{"/REG:empty.txt", "/BACKUP:undo.txt", "/NOREVERSE"}, "DORVALEX\n"},
      // The reversal drops the comment and writes a blank line after the header.
      {{"/REG:empty.txt", "/BACKUP:undo.txt", "/CHANGES"}, "DORVALEX\n\n"},
      {{"/REG:empty.txt", "/BACKUP:undo.txt", "/CHANGES", "/NOREVERSE"},
       "DORVALEX\n\n; Backout file is only showing keys that are overwritten by applying "
       "empty.txt\n"},
      // The input path appears as typed, and is empty when only the full backup runs, whose
      // backout file is never reversed.
      {{"/REGBACKUP", "/BACKUP:undo.txt", "/CHANGES"},
       "DORVALEX\n\n; Backout file is only showing keys that are overwritten by applying \n"},
      {{"/REG:Missing.Txt", "/BACKUP:undo.txt", "/CHANGES", "/NOREVERSE"},
       "DORVALEX\n\n; Backout file is only showing keys that are overwritten by applying "
       "Missing.Txt\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back());
    BlackBox box;
    box.WriteFile("empty.txt", "DORVALEX\n");
    box.Run(c.args);
    EXPECT_EQ(box.ReadFile("undo.txt"), c.backout);
  }
}

TEST(RunControlTest, BackoutFileThatCannotBeCreatedStopsBeforeTheBanner) {
  BlackBox box;
  box.WriteFile("in.txt", kTwoChanges);
  RunResult run = box.Run({"/REG:in.txt", "/BACKUP:no/such/folder/undo.txt", "/VERBOSE"});
  EXPECT_EQ(run.output, "***ERROR : Unable to Create Backout File \"no/such/folder/undo.txt\"\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_FALSE(box.FileExists(box.storePath()));

  run = box.Run({"/REG:in.txt", "/BACKUP:", "/VERBOSE"});
  EXPECT_EQ(run.output, "***ERROR : Unable to Create Backout File \"\"\n");
  EXPECT_EQ(run.exitCode, 1);
}

TEST(RunControlTest, BackoutHeaderThatCannotBeWrittenStopsTheRun) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full";
  BlackBox box;
  box.WriteFile("in.txt", kTwoChanges);
  RunResult run = box.Run({"/REG:in.txt", "/BACKUP:/dev/full", "/OVERWRITE"});
  EXPECT_EQ(run.output, "***ERROR : Unable to Write Backout File \"/dev/full\"\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_FALSE(box.FileExists(box.storePath()));
}

TEST(RunControlTest, ExistingBackoutFileIsNeverReplacedWithoutOverwrite) {
  BlackBox box;
  box.WriteFile("in.txt", kTwoChanges);
  box.WriteFile("undo.txt", "precious\n");
  {
    RunResult run = box.Run({"/REG:in.txt", "/BACKUP:undo.txt"});
    EXPECT_EQ(run.output, kBanner + kRefused);
    EXPECT_EQ(run.exitCode, 1);
  }
  {
    RunResult run = box.Run({"/REG:in.txt", "/BACKUP:undo.txt", "/VERBOSE"});
    EXPECT_EQ(run.output, kBanner +
                              "Registry Input:\"in.txt\"\n"
                              "No Backout\n"
                              "NoAction: False\n"
                              "\n" +
                              kRefused);
    EXPECT_EQ(run.exitCode, 1);
  }
  {
    // Existence counts, not readability: an unreadable file and a dangling link are kept too.
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
    EXPECT_FALSE(box.FileExists("nowhere.txt"));
  }
  EXPECT_EQ(box.ReadFile("undo.txt"), "precious\n");
  EXPECT_FALSE(box.FileExists(box.storePath()));  // the script was not applied

  RunResult run = box.Run({"/REG:in.txt", "/BACKUP:undo.txt", "/OVERWRITE"});
  EXPECT_EQ(run.output, kBanner + "in.txt was applied.\n");
  EXPECT_EQ(run.exitCode, 0);
  std::string backout = box.ReadFile("undo.txt").value_or("");
  EXPECT_EQ(backout.rfind("DORVALEX\n", 0), 0u) << backout;
  EXPECT_EQ(backout.find("precious"), std::string::npos);

  // The script itself named as the backout file, by another spelling: it stays whole.
  const std::string script = box.ReadFile("in.txt").value_or("");
  run = box.Run({"/REG:in.txt", "/BACKUP:./in.txt", "/OVERWRITE"});
  EXPECT_EQ(run.output, "***ERROR : Backout File \"./in.txt\" is the Registry Input File\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(box.ReadFile("in.txt"), script);
}

TEST(RunControlTest, MissingOrEmptyInputFailsAfterTheBackoutIsCreated) {
  BlackBox box;
  RunResult run = box.Run({"/REG:absent.txt", "/BACKUP:undo.txt", "/NOREVERSE"});
  EXPECT_EQ(run.output,
            kBanner + "***ERROR : Unable to open Registry Input File: \"absent.txt\"\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(box.ReadFile("undo.txt"), "DORVALEX\n");

  run = box.Run({"/REG:absent.txt", "/BACKUP:undo2.txt", "/VERBOSE"});
  EXPECT_EQ(run.output, kBanner +
                            "Registry Input:\"absent.txt\"\n"
                            "Backout:\"undo2.txt\"\n"
                            "NoAction: False\n"
                            "\n"
                            "***ERROR : Unable to open Registry Input File: \"absent.txt\"\n"
                            "Parsing Backup File ...\n"
                            "Rewriting Backup File ...\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(box.ReadFile("undo2.txt"), "DORVALEX\n\n");  // reversed after the failure too

  run = box.Run({"/REG:"});
  EXPECT_EQ(run.output, kBanner + "***ERROR : Unable to open Registry Input File: \"\"\n");
  EXPECT_EQ(run.exitCode, 1);
}

TEST(RunControlTest, FailedRunStillReversesItsBackout) {
  const std::string script = std::string(kTwoChanges) + "UPDATE:\"broken\"\n";
  for (bool reverse : {false, true}) {
    SCOPED_TRACE(reverse ? "reversed" : "/NOREVERSE");
    BlackBox box;
    box.SetString("HKLM\\SOFTWARE\\Example", "v", "orig");
    std::string before = box.DumpStore();
    box.WriteFile("in.txt", script);
    std::vector<std::string> args = {"/REG:in.txt", "/BACKUP:undo.txt"};
    if (!reverse) args.push_back("/NOREVERSE");
    RunResult run = box.Run(args);
    EXPECT_TRUE(EndsWith(run.output, "***ERROR : Fatal Error - Program Exit\n")) << run.output;
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(box.DumpStore(), before);

    // In application order the older record comes first; only the reversed file, where the
    // older record is applied last, puts the value back.
    std::string backout = box.ReadFile("undo.txt").value_or("");
    size_t older = backout.find("UPDATE:\"v\"=\"orig\"");
    size_t newer = backout.find("UPDATE:\"v\"=\"first\"");
    ASSERT_NE(older, std::string::npos) << backout;
    ASSERT_NE(newer, std::string::npos) << backout;
    EXPECT_EQ(older < newer, !reverse) << backout;
    if (reverse) {
      run = box.Run({"/REG:undo.txt"});
      EXPECT_EQ(run.exitCode, 0) << run.output;
      EXPECT_EQ(box.DumpStore(), before) << backout;
    }
  }
}

TEST(RunControlTest, OrphanedBackslashRunsToTheEndThenFails) {
  BlackBox box;
  box.SetString("HKLM\\SOFTWARE\\Example", "v", "orig");
  std::string before = box.DumpStore();
  box.WriteFile("in.txt", std::string(kTwoChanges) +
                              "UPDATE:\"bad\"=\"a\\q\"\n"
                              "UPDATE:\"after\"=\"never set\"\n");
  RunResult run = box.Run({"/REG:in.txt", "/BACKUP:undo.txt"});
  EXPECT_TRUE(EndsWith(run.output, "***ERROR : Single Backslash errors were found - Exiting\n"))
      << run.output;
  EXPECT_EQ(run.output.find("was applied"), std::string::npos);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(box.DumpStore().find("after"), std::string::npos);

  // The backout was closed and reversed: applying it restores the start.
  run = box.Run({"/REG:undo.txt"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(box.DumpStore(), before);
}

TEST(RunControlTest, FullBackupWinsOverScriptAndIsQuiet) {
  BlackBox box;
  box.SetString("HKLM\\SOFTWARE\\Example", "v", "orig");
  box.WriteFile("in.txt", kTwoChanges);
  std::string before = box.DumpStore();
  RunResult run = box.Run({"/REG:in.txt", "/VERBOSE", "/REGBACKUP"});
  EXPECT_EQ(run.output.rfind(kBanner + "Backing up", 0), 0u) << run.output;
  EXPECT_TRUE(EndsWith(run.output, "\bFull Backup Complete.\n")) << run.output;
  EXPECT_EQ(run.output.find("Registry Input"), std::string::npos);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(box.DumpStore(), before);
  EXPECT_EQ(box.ReadFile("HKLM_backup.reg").value_or("").rfind("DORVALEX\n", 0), 0u);
  EXPECT_EQ(box.ReadFile("HKU_backup.reg").value_or("").rfind("DORVALEX\n", 0), 0u);

  // A second backup refuses to replace the first.
  run = box.Run({"/REGBACKUP"});
  EXPECT_EQ(run.output,
            kBanner + "***ERROR : HKLM_backup.reg exists, and /OVERWRITE was not specified\n");
  EXPECT_EQ(run.exitCode, 1);
}

TEST(RunControlTest, LongArgumentsAreKeptWhole) {
  BlackBox box;
  std::string folder;
  for (int i = 0; i < 6; ++i) {
    folder += (i ? "/" : "") + std::string(60, static_cast<char>('a' + i));
    ASSERT_EQ(mkdir(box.PathOf(folder).c_str(), 0755), 0);
  }
  box.WriteFile(folder + "/in.txt", kTwoChanges);
  std::string input = folder + "/in.txt";
  std::string backout = box.PathOf(folder + "/undo.txt");
  ASSERT_GT(backout.size(), 300u);
  RunResult run = box.Run({"/REG:" + input, "/BACKUP:" + backout, "/VERBOSE"});
  EXPECT_NE(run.output.find("Registry Input:\"" + input + "\"\nBackout:\"" + backout + "\"\n"),
            std::string::npos)
      << run.output;
  EXPECT_TRUE(EndsWith(run.output, input + " was applied.\n"));
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(box.ReadFile(backout).value_or("").rfind("DORVALEX\n", 0), 0u);
}

}  // namespace
