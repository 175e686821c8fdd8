// The REGEDIT4 parser against recording handlers: updates, the deleting "-" and diagnostics.
#include "script/regedit4_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/capture_output.h"
#include "testing/recording_handlers.h"

namespace {

using Calls = std::vector<std::string>;

class Regedit4ParserTest : public testing::Test {
 protected:
  Regedit4ParserTest() {
    state_.lineNumber = 12;
    state_.isRegedit4 = true;
    state_.currentKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\K";
  }
  bool Parse(std::string_view line) { return ParseRegedit4Line(line, state_, handlers_); }

  ScriptState state_;
  RecordingHandlers handlers_;
  CaptureOutput out_;
};

TEST_F(Regedit4ParserTest, EveryLineIsAnUpdate) {
  struct Row {
    std::string line;
    std::string call;
  };
  const std::vector<Row> rows = {
      {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n", "UpdateKey|[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n"},
      {"[-HKEY_LOCAL_MACHINE\\A]\n", "UpdateKey|[-HKEY_LOCAL_MACHINE\\A]\n"},
      {"\"Name\"=\"a\\\\b\\\"c\"\n", "UpdateValue|\"Name\"=\"a\\b\"c\"\n"},
      {"@=dword:0000001f\n", "UpdateValue|@=dword:0000001f\n"},
      {"\"Bin\"=hex:01,02,03\n", "UpdateValue|\"Bin\"=hex:01,02,03\n"},
      {"UPDATE:\"v\"=\"x\"\n", "UpdateValue|UPDATE:\"v\"=\"x\"\n"},
      {"\"v\"=-x\n", "UpdateValue|\"v\"=-x\n"},
      {"\"v\"= -\n", "UpdateValue|\"v\"= -\n"},
  };
  for (const Row& row : rows) {
    EXPECT_TRUE(Parse(row.line)) << row.line;
    EXPECT_EQ(handlers_.Take(), Calls{row.call}) << row.line;
  }
  EXPECT_EQ(out_.Take(), "");
}

TEST_F(Regedit4ParserTest, LoneMinusDeletesTheValue) {
  EXPECT_TRUE(Parse("\"Old\"=-\n"));
  EXPECT_TRUE(Parse("@=-\n"));
  EXPECT_TRUE(Parse("\"a\\\\b\"=-\n"));
  EXPECT_TRUE(Parse("\"a\\\"=b\"=-\n"));  // the name ends at its second quote: data b"=-
  EXPECT_EQ(handlers_.Take(),
            (Calls{"DeleteValue|\"Old\"=-\n", "DeleteValue|@=-\n", "DeleteValue|\"a\\b\"=-\n",
                   "UpdateValue|\"a\"=b\"=-\n"}));
  handlers_.FailFromCall(1);
  EXPECT_FALSE(Parse("\"Old\"=-\n"));
}

TEST_F(Regedit4ParserTest, ValueBeforeAnyKeyStopsTheRun) {
  state_.currentKey.clear();
  EXPECT_FALSE(Parse("\"v\"=\"x\"\n"));
  EXPECT_EQ(out_.Take(),
            "***ERROR : A registry key must be specified before a value\n"
            "***ERROR : [Line 12]:\"v\"=\"x\"\n\n");
  EXPECT_TRUE(handlers_.calls().empty());
}

TEST_F(Regedit4ParserTest, OrphanedBackslashIsCountedFromTheLineStart) {
  // An indented key line is a value line whose path separators are orphaned backslashes.
  EXPECT_TRUE(Parse("  [HKLM\\A]\n"));
  EXPECT_EQ(out_.Take(),
            "***ERROR : An orphaned \\ character was found\n"
            "***ERROR : [Line 12]:  [HKLM\\A]\n"
            "***ERROR : [Line 12]:       ^\n\n");
  EXPECT_TRUE(state_.escapeError);
  EXPECT_TRUE(Parse("\\x\n"));  // the caret stands under a backslash in the first column too
  EXPECT_EQ(out_.Take(),
            "***ERROR : An orphaned \\ character was found\n"
            "***ERROR : [Line 12]:\\x\n"
            "***ERROR : [Line 12]:^\n\n");
  EXPECT_TRUE(Parse("[HKLM\\B]\n"));
  EXPECT_TRUE(Parse("\"v\"=-\n"));
  EXPECT_TRUE(handlers_.calls().empty());
}

}  // namespace
