// The operations from the outside: what a run prints, what it leaves in the store, the backout
// file it leaves after its reversal, and that applying that file undoes the run; also for the
// shipped examples.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <cstdint>
#include <string>

#include "tests/blackbox.h"

namespace {

using namespace std::string_literals;

// Seeds the store every test starts from, each key's values in the order of their names, as
// registries that list values by name (Wine) give them back too.
void SeedExample(const BlackBox& box) {
  box.SetDword("HKLM\\SOFTWARE\\Example", "Count", 5);
  box.SetValue("HKLM\\SOFTWARE\\Example", "list", 7, "a\0b\0\0"s);
  box.SetValue("HKLM\\SOFTWARE\\Example\\Sub", "Odd \"q\"", 1, "a\0b"s);
  box.SetString("HKLM\\SOFTWARE\\Example\\Sub", "Path", "C:\\Temp");
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
            "UPDATE:\"Odd \\\"q\\\"\"=hex(1):61,00,62\n"
            "UPDATE:\"Path\"=\"C:\\\\Temp\"\n\n"
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
// String edits record a value's old state only the first time the run touches it, however it
// names the key, after an UPDATE too; /CHANGES records no absent value, so its first record
// comes with its second edit.
TEST(UpdateDeleteTest, EditsOfOneValueRecordItsOldStateOnce) {
  const std::string common =
      "DORVALEX\n\nUPDATE:[hklm\\software\\example]\n", changes = "UPDATE:\"n\"=Multi:\"1\"\n\n";
  const std::pair<const char*, std::string> cases[] = {
      {"/VERBOSE", common + "DELETE:\"n\"=\n\nUPDATE:[HKLM\\SOFTWARE\\Example]\n"
                            "UPDATE:\"list\"=Multi:\"a\",\"b\"\nDELETE:\"m\"=\n\n"},
      {"/NOACTION", common + "DELETE:\"n\"=\n\nUPDATE:[HKLM\\SOFTWARE\\Example]\n"
                             "UPDATE:\"list\"=Multi:\"a\",\"b\"\nDELETE:\"m\"=\n\n"},
      {"/CHANGES", common + changes + "UPDATE:[HKLM\\SOFTWARE\\Example]\n"
                            "UPDATE:\"list\"=Multi:\"a\",\"b\"\nUPDATE:\"m\"=Multi:\"x\"\n\n"},
  };
  for (const auto& [flag, undo] : cases) {
    SCOPED_TRACE(flag);
    BlackBox box;
    SeedExample(box);
    const std::string before = box.DumpStore();
    box.WriteFile("in.txt", "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\Example]\nAPPEND:\"list\"=\"c\"\n"
                            "REMOVE:\"list\"=\"a\"\nUPDATE:\"m\"=Multi:\"x\"\nAPPEND:\"m\"=\"y\"\n"
                            "UPDATE:[hklm\\software\\example]\nPREPEND:\"LIST\"=\"z\"\n"
                            "APPEND:\"n\"=\"1\"\nAPPEND:\"n\"=\"2\"\n");
    EXPECT_EQ(box.Run({"/REG:in.txt", "/BACKUP:undo.txt", flag}).exitCode, 0);
    EXPECT_EQ(box.ReadFile("undo.txt"), undo);
    EXPECT_EQ(box.Run({"/REG:undo.txt"}).exitCode, 0);
    if (std::string(flag) != "/CHANGES") {
      EXPECT_EQ(box.DumpStore(), before);
    }
  }
}

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
      EXPECT_TRUE(box.ReadFile("undo.txt") == "DORVALEX\n\n" + keyLine +
                                              "UPDATE:\"Count\"=Dword:00000005\n\n");
      EXPECT_EQ(box.DumpStore().find("\"Count\"=4:09000000") != std::string::npos, !noAction);
      EXPECT_EQ(box.Run({"/REG:undo.txt"}).exitCode, 0);
      EXPECT_EQ(box.DumpStore(), before);
    }
  }
}

// A REPLACE that would build more than a line may set (over 4 GiB, cut to 32 bits, or just
// over 64 MiB) is refused before its record; one that fits the limit but not the memory the
// run may use fails as any line does. Either way the backout file undoes the run.
TEST(UpdateDeleteTest, ValuesTooLargeForTheRunStopItCleanly) {
  const struct {
    size_t replacement;  // the length of the string that replaces each of 65,536 "a"s
    uint64_t memoryLimit;  // of the run's address space; 0 for none
    std::string report;
  } cases[] = {
      {65536, 0, "Value Too Large - 4295032833 bytes, more than the 67108864 a line may set\n"},
      {1024, 0, "Value Too Large - 67174401 bytes, more than the 67108864 a line may set\n"},
      {900, uint64_t{150} << 20, "Out of Memory\n"},
  };
  for (const auto& c : cases) {
#if defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
    // The sanitizer reserves far more address space; Windows has no limit a child inherits.
    if (c.memoryLimit != 0) continue;
#endif
    SCOPED_TRACE(c.report);
    BlackBox box;
    SeedExample(box);
    const std::string before = box.DumpStore();
    std::string list;
    for (int i = 0; i < 65536; ++i) list += i == 0 ? "\"a\"" : ",\"a\"";
    box.WriteFile("in.txt", "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\Example]\nUPDATE:\"list\"=Multi:" +
                                list + "\nREPLACE:\"list\"=\"a\",\"" +
                                std::string(c.replacement, 'b') + "\"\n");
#ifndef _WIN32
    rlimit saved{};
    getrlimit(RLIMIT_AS, &saved);
    rlimit limited = saved;
    if (c.memoryLimit != 0) limited.rlim_cur = c.memoryLimit;
    setrlimit(RLIMIT_AS, &limited);  // inherited by the run
#endif
    RunResult run = box.Run({"/REG:in.txt", "/BACKUP:undo.txt"});
#ifndef _WIN32
    setrlimit(RLIMIT_AS, &saved);
#endif
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("***ERROR : " + c.report + "         : (8)"), std::string::npos)
        << run.output.substr(0, 2000);
    EXPECT_NE(run.output.find("***ERROR : [Line 4]:"), std::string::npos);
    EXPECT_TRUE(run.output.ends_with("\n***ERROR : Fatal Error - Program Exit\n"));
    if (c.memoryLimit == 0) {
      EXPECT_TRUE(box.ReadFile("undo.txt") == "DORVALEX\n\nUPDATE:[HKLM\\SOFTWARE\\Example]\n"
                                          "UPDATE:\"list\"=Multi:\"a\",\"b\"\n\n");  // line 4 has none
    }
    EXPECT_EQ(box.Run({"/REG:undo.txt"}).exitCode, 0);
    EXPECT_TRUE(box.DumpStore() == before);
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
