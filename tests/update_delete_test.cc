// The operations from the outside: what a run prints, what it leaves in the store, the backout
// file it leaves after its reversal, and that applying that file undoes the run; also for the
// shipped examples.
#include <gtest/gtest.h>

#include <string>

#include "tests/blackbox.h"

namespace {

using namespace std::string_literals;

// Seeds the store every test starts from.
void SeedExample(const BlackBox& box) {
  box.SetDword("HKLM\\SOFTWARE\\Example", "Count", 5);
  box.SetValue("HKLM\\SOFTWARE\\Example", "list", 7, "a\0b\0\0"s);
  box.SetString("HKLM\\SOFTWARE\\Example\\Sub", "Path", "C:\\Temp");
  box.SetValue("HKLM\\SOFTWARE\\Example\\Sub", "Odd \"q\"", 1, "a\0b"s);
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
                "APPEND:\"list\"=Multi:\"q\\\"uote\"\n"
                "DELETE:[HKLM\\SOFTWARE\\Example\\Sub]\n"
                "UPDATE:[HKLM\\SOFTWARE\\Example\\New]\n"
                "UPDATE:\"a\"=\"1\" \t\n"
                "DELETE:[HKLM\\SOFTWARE\\Missing]\n"
                "DELETE:\"nothing\"=\n");
  RunResult run = box.Run({"/REG:in.txt", "/BACKUP:undo.txt", "/VERBOSE"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, kBanner +
                            "Registry Input:\"in.txt\"\nBackout:\"undo.txt\"\nNoAction: False\n\n"
                            "UPDATE : [2] Success - [HKLM\\SOFTWARE\\Example]\n"
                            "UPDATE : [3] Success - \"Count\"=Dword:00000006\n"
                            "UPDATE : [4] Success - \"Count\"=Dword:00000007\n"
                            "APPEND : [5] Success - \"list\"=Multi:\"q\"uote\"\n"
                            "DELETE : [6] Success - [HKLM\\SOFTWARE\\Example\\Sub]\n"
                            "UPDATE : [7] Success - [HKLM\\SOFTWARE\\Example\\New]\n"
                            "UPDATE : [8] Success - \"a\"=\"1\" \t\n"
                            "Parsing Backup File ...\n"
                            "Rewriting Backup File ...\n"
                            "in.txt was applied.\n");
  EXPECT_EQ(box.ReadFile("undo.txt"),
            "DORVALEX\n\n"
            "DELETE:[HKLM\\SOFTWARE\\Example\\New]\n\n"
            "UPDATE:[HKLM\\SOFTWARE\\Example\\Sub]\n"
            "UPDATE:\"Path\"=\"C:\\\\Temp\"\n"
            "UPDATE:\"Odd \\\"q\\\"\"=hex(1):61,00,62\n\n"
            "UPDATE:[HKLM\\SOFTWARE\\Example]\n"
            "UPDATE:\"Count\"=Dword:00000006\n"
            "UPDATE:\"Count\"=Dword:00000005\n"
            "UPDATE:\"list\"=Multi:\"a\",\"b\"\n\n");
  EXPECT_NE(box.DumpStore().find("  \"a\"=1:\"1\\0\"\n"), std::string::npos);  // blanks dropped

  EXPECT_EQ(box.Run({"/REG:undo.txt"}).exitCode, 0);
  EXPECT_EQ(box.DumpStore(), before);
}

// The backout of a key deletion brings the key's values back in the order they had: a second
// deletion's snapshot lists them as the first one did.
TEST(UpdateDeleteTest, UndoingAKeyDeletionGivesItsValuesBackInTheirOrder) {
  BlackBox box;
  for (const char* name : {"a", "b", "c"}) box.SetString("HKLM\\SOFTWARE\\K", name, name);
  box.WriteFile("in.txt", "DORVALEX\nDELETE:[HKLM\\SOFTWARE\\K]\n");
  ASSERT_EQ(box.Run({"/REG:in.txt", "/BACKUP:undo.txt"}).exitCode, 0);
  const std::string snapshot =
      "\nUPDATE:[HKLM\\SOFTWARE\\K]\nUPDATE:\"a\"=\"a\"\nUPDATE:\"b\"=\"b\"\nUPDATE:\"c\"=\"c\"\n";
  EXPECT_EQ(box.ReadFile("undo.txt"), "DORVALEX\n" + snapshot + "\n");
  ASSERT_EQ(box.Run({"/REG:undo.txt"}).exitCode, 0);
  ASSERT_EQ(box.Run({"/REG:in.txt", "/BACKUP:again.txt", "/NOREVERSE"}).exitCode, 0);
  EXPECT_EQ(box.ReadFile("again.txt"), "DORVALEX\n" + snapshot);
}

// Refused lines stop the run before they record or change anything, also in a /NOACTION run;
// what ran before them is still undone by the backout file. An orphaned backslash lets no later
// line run and ends the run likewise.
TEST(UpdateDeleteTest, RefusedLinesStopTheRunBeforeTheirRecord) {
  const std::string keyLine = "UPDATE:[HKLM\\SOFTWARE\\Example]\n",
                    fatal = "***ERROR : Fatal Error - Program Exit\n";
  const std::pair<std::string, std::string> cases[] = {
      {"UPDATE:\"Count\"=Strange\n", "***ERROR : Invalid Value - unrecognised data type\n"
       "***ERROR : [Line 4]:\"Count\"=Strange\n\n" + fatal},
      {"UPDATE:\"Count\"=\"abc\n", "***ERROR : Invalid Value - string must be in double quotes\n"
       "***ERROR : [Line 4]:\"Count\"=\"abc\n\n" + fatal},
      {"UPDATE:\"Count\"=Multi:\"a\",\"b\n", "***ERROR : Invalid Value - string must be in double "
       "quotes\n***ERROR : [Line 4]:\"Count\"=Multi:\"a\",\"b\n\n" + fatal},
      {"APPEND:\"Count\"=\"x\" y\n", "***ERROR : Invalid Value - string must be in double quotes\n"
       "***ERROR : [Line 4]:\"Count\"=\"x\" y\n\n" + fatal},
      {"UPDATE:\"Count\"=Dword:123456789\n", "***ERROR : Invalid Value - unrecognised data type\n"
       "***ERROR : [Line 4]:\"Count\"=Dword:123456789\n\n" + fatal},
      {"DELETE:[hkcr\\]\n", "***ERROR : Invalid Key - a root key cannot be deleted\n"
       "***ERROR : [Line 4]:hkcr\\\n" + fatal},
      {"UPDATE:\"Count\"=\"a\\q\"\n", "***ERROR : An orphaned \\ character was found\n"
       "***ERROR : [Line 4]:UPDATE:\"Count\"=\"a\\q\"\n***ERROR : [Line 4]:" +
       std::string(17, ' ') + "^\n\n***ERROR : Single Backslash errors were found - Exiting\n"},
  };
  for (const auto& [badLine, report] : cases) {
    for (bool noAction : {false, true}) {
      SCOPED_TRACE(badLine + (noAction ? "no action" : "applied"));
      BlackBox box;
      SeedExample(box);
      std::string before = box.DumpStore();
      box.WriteFile("in.txt", "DORVALEX\n" + keyLine + "UPDATE:\"Count\"=Dword:00000009\n" +
                                  badLine + "UPDATE:\"Count\"=Dword:0000000A\n");
      RunResult run =
          box.Run({"/REG:in.txt", "/BACKUP:undo.txt", noAction ? "/NOACTION" : "/OVERWRITE"});
      EXPECT_EQ(run.exitCode, 1);
      EXPECT_EQ(run.output, kBanner + report);
      EXPECT_EQ(box.ReadFile("undo.txt"), "DORVALEX\n\n" + keyLine +
                                              "UPDATE:\"Count\"=Dword:00000005\n\n");
      EXPECT_EQ(box.DumpStore().find("\"Count\"=4:09000000") != std::string::npos, !noAction);
      EXPECT_EQ(box.Run({"/REG:undo.txt"}).exitCode, 0);
      EXPECT_EQ(box.DumpStore(), before);
    }
  }
}

// The example scripts shipped in examples/ apply cleanly over older values, and their backout
// files undo them.
TEST(UpdateDeleteTest, EachExampleAppliesAndItsBackoutUndoesIt) {
  for (const char* name : {"example.txt", "example-regedit4.reg", "example-version5.reg"}) {
    BlackBox box;
    box.SetString("HKLM\\SOFTWARE\\Dorvalex Example\\Settings", "InstallDir", "elsewhere");
    box.SetDword("HKLM\\SOFTWARE\\Dorvalex Example\\Imported", "Count", 7);
    box.SetString("HKLM\\SOFTWARE\\Dorvalex Example\\Exporté", "Obsolete", "old");
    box.SetString("HKLM\\SOFTWARE\\Dorvalex Example\\Old Settings\\Sub", "Path", "C:\\Old");
    const std::string before = box.DumpStore();
    RunResult run = box.Run({"/REG:" + std::string(DX_SOURCE_DIR) + "/examples/" + name,
                             "/BACKUP:undo.txt"});
    ASSERT_EQ(run.exitCode, 0) << name << run.output;
    EXPECT_NE(box.DumpStore(), before);
    EXPECT_EQ(box.Run({"/REG:undo.txt"}).exitCode, 0);
    EXPECT_EQ(box.DumpStore(), before) << box.ReadFile("undo.txt").value_or("");
  }
}

}  // namespace
