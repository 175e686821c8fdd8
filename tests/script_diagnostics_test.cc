// Script reading from the outside: the diagnostics a script line gets (line numbers, caret
// lines, the blank line after each quoted line), refused data, and the REGEDIT4 forms.
#include <gtest/gtest.h>

#include <string>

#include "tests/blackbox.h"

namespace {

const std::string kBanner =
    "DORVALEX Version 1.0.2.3  (c) DORVALEX developers\n"
    "         Running on Unknown OS Operating System\n"
    "\n";

// The verbose summary of a run of in.txt without a backout file.
const std::string kVerboseStart = kBanner +
                                  "Registry Input:\"in.txt\"\n"
                                  "No Backout\n"
                                  "NoAction: False\n"
                                  "\n";

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(ScriptDiagnosticsTest, OrphanedBackslashIsMarkedAndStopsAllChanges) {
  BlackBox box;
  box.WriteFile("in.txt",
                "DORVALEX\n"
                "UPDATE:[HKLM\\SOFTWARE\\A]\n"
                "UPDATE:\"v\"=\"C:\\temp\"\n"
                "UPDATE:\"w\"=\"x\"\n"
                "UPDATE:\"y\"=\"\\q\"\n");
  RunResult run = box.Run({"/REG:in.txt"});
  EXPECT_EQ(run.output, kBanner +
                            "***ERROR : An orphaned \\ character was found\n"
                            "***ERROR : [Line 3]:UPDATE:\"v\"=\"C:\\temp\"\n"
                            "***ERROR : [Line 3]:              ^\n"
                            "\n"
                            "***ERROR : An orphaned \\ character was found\n"
                            "***ERROR : [Line 5]:UPDATE:\"y\"=\"\\q\"\n"
                            "***ERROR : [Line 5]:            ^\n"
                            "\n"
                            "***ERROR : Single Backslash errors were found - Exiting\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_FALSE(Contains(box.DumpStore(), "\"w\""));
}

TEST(ScriptDiagnosticsTest, LinesAreNumberedAsTheyStandInTheFile) {
  BlackBox box;
  box.WriteFile("in.txt",
                "; two words\r\n"
                "DORVALEX\r\n"
                "UPDATE:[HKLM\\SOFTWARE\\A]\r\n"
                "\r\n"
                "UPDATE:\"b\"=hex:01,\\\r\n"
                "    02\r\n"
                "UPDAT:\"w\"=\"x\"\r\n"
                "UPDATE:\"w\"=\"x\"");
  RunResult run = box.Run({"/REG:in.txt", "/VERBOSE"});
  EXPECT_EQ(run.output, kVerboseStart +
                            "UPDATE : [3] Success - [HKLM\\SOFTWARE\\A]\n"
                            "UPDATE : [5] Success - \"b\"=hex:01,02\n"
                            "***ERROR : Unknown Operation Type - ignoring this line\n"
                            "***ERROR : [Line 7]:UPDAT:\"w\"=\"x\"\n"
                            "\n"
                            "UPDATE : [8] Success - \"w\"=\"x\"\n"
                            "in.txt was applied.\n");
  EXPECT_EQ(run.exitCode, 0);
}

TEST(ScriptDiagnosticsTest, ScriptFileProblemsStopTheRun) {
  {
    BlackBox box;
    box.WriteFile("in.txt", "REGEDIT5\nUPDATE:[HKLM\\SOFTWARE\\A]\n");
    RunResult run = box.Run({"/REG:in.txt"});
    EXPECT_EQ(run.output,
              kBanner + "***ERROR : Registry file is not a DORVALEX or REGEDIT4 file type\n");
    EXPECT_EQ(run.exitCode, 1);
  }
  {
    BlackBox box;
    box.WriteFile("in.txt", "DORVALEX\nUPDATE:\"v\"=\"x\"\n");
    RunResult run = box.Run({"/REG:in.txt"});
    EXPECT_EQ(run.output, kBanner +
                              "***ERROR : A registry key must be specified before a value\n"
                              "***ERROR : [Line 2]:UPDATE:\"v\"=\"x\"\n"
                              "\n"
                              "***ERROR : Fatal Error - Program Exit\n");
    EXPECT_EQ(run.exitCode, 1);
  }
  {
    // Ctrl-Z ends the script: what follows it is never read.
    BlackBox box;
    box.WriteFile("in.txt", "DORVALEX\r\nUPDATE:[HKLM\\SOFTWARE\\A]\r\n\x1a" "APPEND:[X]\r\n");
    RunResult run = box.Run({"/REG:in.txt"});
    EXPECT_EQ(run.output, kBanner + "in.txt was applied.\n");
    EXPECT_EQ(run.exitCode, 0);
  }
}

TEST(ScriptDiagnosticsTest, UnrecognisedDataIsRefusedAlsoInANoActionRun) {
  BlackBox box;
  box.SetString("HKLM\\SOFTWARE\\A", "w", "keep");
  std::string before = box.DumpStore();
  box.WriteFile("in.txt",
                "DORVALEX\n"
                "UPDATE:[HKLM\\SOFTWARE\\A]\n"
                "UPDATE:\"w\"=hex(1x):00\n");
  for (bool noAction : {true, false}) {
    std::vector<std::string> args = {"/REG:in.txt", "/BACKUP:undo.txt", "/OVERWRITE"};
    if (noAction) args.push_back("/NOACTION");
    RunResult run = box.Run(args);
    EXPECT_TRUE(Contains(run.output,
                         "***ERROR : Invalid Value - unrecognised data type\n"
                         "***ERROR : [Line 3]:\"w\"=hex(1x):00\n"
                         "\n"
                         "***ERROR : Fatal Error - Program Exit\n"))
        << run.output;
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_FALSE(Contains(box.ReadFile("undo.txt").value_or(""), "\"w\""));
    EXPECT_EQ(box.DumpStore(), before);
  }
}

TEST(ScriptDiagnosticsTest, QwordKeepsItsTypeThroughTheBackout) {
  BlackBox box;
  box.SetValue("HKLM\\SOFTWARE\\A", "q", 11, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  std::string before = box.DumpStore();
  box.WriteFile("in.txt",
                "DORVALEX\n"
                "UPDATE:[HKLM\\SOFTWARE\\A]\n"
                "UPDATE:\"q\"=hex(11):FF,00,00,00,00,00,00,00\n");
  RunResult run = box.Run({"/REG:in.txt", "/BACKUP:undo.txt"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(Contains(box.DumpStore(), "\"q\"=11:hex(ff,00,00,00,00,00,00,00)"))
      << box.DumpStore();
  EXPECT_TRUE(Contains(box.ReadFile("undo.txt").value_or(""),
                       "UPDATE:\"q\"=hex(11):01,02,03,04,05,06,07,08\n"));
  run = box.Run({"/REG:undo.txt"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(box.DumpStore(), before);
}

TEST(ScriptDiagnosticsTest, Regedit4ExportIsAppliedAndItsMinusDeletes) {
  BlackBox box;
  box.SetString("HKLM\\SOFTWARE\\A", "old", "x");
  std::string before = box.DumpStore();
  box.WriteFile("in.txt",
                "REGEDIT4\r\n"
                "\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n"
                "\"old\"=-\r\n"
                "\"s\"=\"a\\\\b\\\"c\"\r\n"
                "\"d\"=dword:0000001f\r\n"
                "\"q\"=hex(b):01,00,00,00,\\\r\n"
                "  00,00,00,00\r\n");
  RunResult run = box.Run({"/REG:in.txt", "/VERBOSE", "/BACKUP:undo.txt"});
  EXPECT_TRUE(Contains(run.output,
                       "UPDATE : [3] Success - [HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n"
                       "DELETE : [4] Success - \"old\"=-\n"
                       "UPDATE : [5] Success - \"s\"=\"a\\b\"c\"\n"
                       "UPDATE : [6] Success - \"d\"=dword:0000001f\n"
                       "UPDATE : [7] Success - \"q\"=hex(b):01,00,00,00,00,00,00,00\n"))
      << run.output;
  EXPECT_EQ(run.exitCode, 0);
  std::string after = box.DumpStore();
  EXPECT_FALSE(Contains(after, "\"old\"")) << after;
  EXPECT_TRUE(Contains(after, "\"s\"=1:\"a\\b\"c\"")) << after;
  EXPECT_TRUE(Contains(after, "\"d\"=4:0x0000001f")) << after;
  EXPECT_TRUE(Contains(after, "\"q\"=11:hex(01,00,00,00,00,00,00,00)")) << after;
  run = box.Run({"/REG:undo.txt"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(box.DumpStore(), before);
}

}  // namespace
