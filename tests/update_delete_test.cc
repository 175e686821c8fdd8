// UPDATE and DELETE from the outside: what a run prints, what it leaves in the store, the
// backout file it leaves after its reversal, and that applying that file undoes the run.
#include <gtest/gtest.h>

#include <string>

#include "tests/blackbox.h"

namespace {

const std::string kBanner =
    "DORVALEX Version 1.0.2.3  (c) DORVALEX developers\n"
    "         Running on Unknown OS Operating System\n"
    "\n";

std::string Verbose(const std::string& input, const std::string& backout) {
  return kBanner + "Registry Input:\"" + input + "\"\n" +
         (backout.empty() ? "No Backout\n" : "Backout:\"" + backout + "\"\n") +
         "NoAction: False\n\n";
}

// Seeds the store every test starts from.
void SeedExample(const BlackBox& box) {
  box.SetString("HKLM\\SOFTWARE\\Example", "", "abc");
  box.SetDword("HKLM\\SOFTWARE\\Example", "Count", 5);
  box.SetString("HKLM\\SOFTWARE\\Example\\Sub", "Path", "C:\\Temp");
  box.SetValue("HKLM\\SOFTWARE\\Example\\Sub", "Odd \"q\"", 1, std::string("a\0b", 3));
}

TEST(UpdateDeleteTest, NativeRunPrintsItsLinesAndItsBackoutUndoesIt) {
  BlackBox box;
  SeedExample(box);
  std::string before = box.DumpStore();
  box.WriteFile("in.txt",
                "DORVALEX\n"
                "UPDATE:[HKLM\\SOFTWARE\\Example]\n"
                "UPDATE:\"Count\"=Dword:00000006\n"
                "UPDATE:\"Count\"=Dword:00000007\n"
                "UPDATE:@=Expand:\"%PATH%\\\\x\"\n"
                "DELETE:[HKLM\\SOFTWARE\\Example\\Sub]\n"
                "UPDATE:[HKLM\\SOFTWARE\\Example\\New]\n"
                "UPDATE:\"a\"=\"1\"\n"
                "DELETE:[HKLM\\SOFTWARE\\Missing]\n"
                "DELETE:\"nothing\"=\n");
  RunResult run = box.Run({"/REG:in.txt", "/BACKUP:undo.txt", "/VERBOSE"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, Verbose("in.txt", "undo.txt") +
                            "UPDATE : [2] Success - [HKLM\\SOFTWARE\\Example]\n"
                            "UPDATE : [3] Success - \"Count\"=Dword:00000006\n"
                            "UPDATE : [4] Success - \"Count\"=Dword:00000007\n"
                            "UPDATE : [5] Success - @=Expand:\"%PATH%\\x\"\n"
                            "DELETE : [6] Success - [HKLM\\SOFTWARE\\Example\\Sub]\n"
                            "UPDATE : [7] Success - [HKLM\\SOFTWARE\\Example\\New]\n"
                            "UPDATE : [8] Success - \"a\"=\"1\"\n"
                            "Parsing Backup File ...\n"
                            "Rewriting Backup File ...\n"
                            "in.txt was applied.\n");
  EXPECT_EQ(box.ReadFile("undo.txt"),
            "DORVALEX\n\n"
            "DELETE:[HKLM\\SOFTWARE\\Example\\New]\n\n"
            "UPDATE:[HKLM\\SOFTWARE\\Example\\Sub]\n"
            "UPDATE:\"Odd \\\"q\\\"\"=hex(1):61,00,62\n"
            "UPDATE:\"Path\"=\"C:\\\\Temp\"\n\n"
            "UPDATE:[HKLM\\SOFTWARE\\Example]\n"
            "UPDATE:@=\"abc\"\n"
            "UPDATE:\"Count\"=Dword:00000006\n"
            "UPDATE:\"Count\"=Dword:00000005\n\n");
  EXPECT_NE(box.DumpStore(), before);

  RunResult undo = box.Run({"/REG:undo.txt"});
  EXPECT_EQ(undo.exitCode, 0) << undo.output;
  EXPECT_EQ(box.DumpStore(), before);
}

TEST(UpdateDeleteTest, Regedit4ImportWithDeletionsAndQwords) {
  BlackBox box;
  SeedExample(box);
  std::string before = box.DumpStore();
  box.WriteFile("in.reg",
                "REGEDIT4\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Example]\n"
                "\"Count\"=-\n"
                "@=-\n"
                "\"Big\"=hex(b):01,02,03,04,\\\n"
                "  05,06,07,08\n"
                "\"Never\"=-\n"
                "\"Low\"=dword:0000001f\n");
  RunResult run = box.Run({"/REG:in.reg", "/BACKUP:undo.txt", "/VERBOSE"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("DELETE : [4] Success - \"Count\"=-\n"), std::string::npos)
      << run.output;
  std::string after = box.DumpStore();
  EXPECT_EQ(after.find("\"Count\""), std::string::npos) << after;
  EXPECT_NE(after.find("\"Big\"=11:hex(01,02,03,04,05,06,07,08)"), std::string::npos) << after;
  EXPECT_NE(after.find("\"Low\"=4:0x0000001f"), std::string::npos) << after;
  EXPECT_EQ(box.ReadFile("undo.txt"),
            "DORVALEX\n\n"
            "UPDATE:[HKEY_LOCAL_MACHINE\\SOFTWARE\\Example]\n"
            "DELETE:\"Low\"=\n"
            "DELETE:\"Big\"=\n"
            "UPDATE:@=\"abc\"\n"
            "UPDATE:\"Count\"=Dword:00000005\n\n");
  EXPECT_EQ(box.Run({"/REG:undo.txt"}).exitCode, 0);
  EXPECT_EQ(box.DumpStore(), before);
}

// Refused lines stop the run before they record or change anything; what ran before them is
// still undone by the backout file.
TEST(UpdateDeleteTest, RefusedLinesStopTheRunBeforeTheirRecord) {
  struct Case {
    const char* name;
    std::string badLine;
    std::string report;
  };
  const Case cases[] = {
      {"unrecognised data", "UPDATE:\"Count\"=Strange\n",
       "***ERROR : Invalid Value - unrecognised data type\n"
       "***ERROR : [Line 4]:\"Count\"=Strange\n\n"},
      {"root key deletion", "DELETE:[HKLM\\]\n",
       "***ERROR : Invalid Key - a root key cannot be deleted\n"
       "***ERROR : [Line 4]:HKLM\\\n"},
      {"root alias deletion", "DELETE:[hkcr\\]\n",
       "***ERROR : Invalid Key - a root key cannot be deleted\n"
       "***ERROR : [Line 4]:hkcr\\\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool noAction : {false, true}) {
      SCOPED_TRACE(noAction ? "no action" : "applied");
      BlackBox box;
      SeedExample(box);
      std::string before = box.DumpStore();
      box.WriteFile("in.txt",
                    "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\Example]\nUPDATE:\"Count\"=Dword:00000009\n" +
                        c.badLine + "UPDATE:\"Count\"=Dword:0000000A\n");
      std::vector<std::string> args = {"/REG:in.txt", "/BACKUP:undo.txt"};
      if (noAction) args.push_back("/NOACTION");
      RunResult run = box.Run(args);
      EXPECT_EQ(run.exitCode, 1);
      EXPECT_EQ(run.output, kBanner + c.report + "***ERROR : Fatal Error - Program Exit\n");
      EXPECT_EQ(box.ReadFile("undo.txt"),
                "DORVALEX\n\nUPDATE:[HKLM\\SOFTWARE\\Example]\nUPDATE:\"Count\"=Dword:00000005\n\n");
      EXPECT_EQ(box.DumpStore().find("\"Count\"=4:0x00000009") != std::string::npos, !noAction);
      EXPECT_EQ(box.Run({"/REG:undo.txt"}).exitCode, 0);
      EXPECT_EQ(box.DumpStore(), before);
    }
  }
}

}  // namespace
