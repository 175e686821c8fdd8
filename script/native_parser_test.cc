// The native-dialect parser against recording handlers: dispatch, refusals and the exact
// console text of its diagnostics.
#include "script/native_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/capture_output.h"
#include "testing/recording_handlers.h"

namespace {

using namespace std::string_literals;
using Calls = std::vector<std::string>;

class NativeParserTest : public testing::Test {
 protected:
  NativeParserTest() {
    state_.lineNumber = 7;
    state_.currentKey = "HKLM\\SOFTWARE\\K";
  }

  bool Parse(std::string_view line) { return ParseNativeLine(line, state_, handlers_); }

  ScriptState state_;
  RecordingHandlers handlers_;
  CaptureOutput out_;
};

TEST_F(NativeParserTest, DispatchesEachOperation) {
  struct Row {
    std::string line;
    std::string call;
  };
  const std::vector<Row> rows = {
      {"UPDATE:[HKLM\\A\\B]\n", "UpdateKey|[HKLM\\A\\B]\n"},
      {"update:[HKLM\\A]x]\n", "UpdateKey|[HKLM\\A]x]\n"},
      {"Delete:[HKLM\\A]\n", "DeleteKey|[HKLM\\A]\n"},
      {"UPDATE:\"v\"=\"x\"\n", "UpdateValue|\"v\"=\"x\"\n"},
      {"UPDATE:\n", "UpdateValue|\n"},
      {"UPDATE: [HKLM\\\\A]\n", "UpdateValue| [HKLM\\A]\n"},  // "[" must follow ":" directly
      {"DELETE:@\n", "DeleteValue|@\n"},
      {"APPEND:\"v\"=\"x\"\n", "AppendString|\"v\"=\"x\"\n"},
      {"prepend:\"v\"=\"x\"\n", "PrependString|\"v\"=\"x\"\n"},
      {"REMOVE:\"v\"=\"x\"\n", "RemoveString|\"v\"=\"x\"\n"},
      {"RePlace:\"v\"=\"x\"\n", "ReplaceString|\"v\"=\"x\"\n"},
      {"UPDATE:\"a\\\\b\\\"c\"=\"d:e\"\n", "UpdateValue|\"a\\b\"c\"=\"d:e\"\n"},
      {"UPDATE:\"n\"=\"x\0y\"\n"s, "UpdateValue|\"n\"=\"x\0y\"\n"s},
  };
  for (const Row& row : rows) {
    EXPECT_TRUE(Parse(row.line)) << row.line;
    EXPECT_EQ(handlers_.Take(), Calls{row.call}) << row.line;
  }
  EXPECT_EQ(out_.Take(), "");
}

TEST_F(NativeParserTest, HandlerResultIsTheLineResult) {
  handlers_.FailFromCall(1);
  EXPECT_FALSE(Parse("UPDATE:[HKLM\\A]\n"));
  EXPECT_FALSE(Parse("DELETE:\"v\"=\n"));
}

TEST_F(NativeParserTest, UnknownOperationsAreReportedAndSkipped) {
  const std::vector<std::string> lines = {
      "no colon at all\n",
      " UPDATE:[HKLM\\A]\n",
      "UPDATE :\"v\"=\"x\"\n",
      "UPDAT:\"v\"=\"x\"\n",
      "UPDATEUPDATEUPDATEUPDATEUPDATEUPDATEUPDATEUPDAT:[HKLM]\n",  // 48 characters
      std::string(5000, 'A') + ":[HKLM]\n",
  };
  for (const std::string& line : lines) {
    EXPECT_TRUE(Parse(line)) << line;
    EXPECT_EQ(out_.Take(),
              "***ERROR : Unknown Operation Type - ignoring this line\n"
              "***ERROR : [Line 7]:" + line + "\n")
        << line;
  }
  EXPECT_TRUE(handlers_.calls().empty());
}

TEST_F(NativeParserTest, StringEditsAreRefusedOnKeyLines) {
  for (std::string word : {"APPEND", "PREPEND", "REPLACE", "REMOVE"}) {
    std::string line = word + ":[HKLM\\A]\n";
    EXPECT_FALSE(Parse(line));
    EXPECT_EQ(out_.Take(), "***ERROR : " + word + " operation is not allowed on KEY types\n"
                           "***ERROR : [Line 7]:" + line + "\n");
  }
  EXPECT_FALSE(Parse("append:[HKLM\\A]\n"));
  EXPECT_EQ(out_.Take(), "***ERROR : APPEND operation is not allowed on KEY types\n"
                         "***ERROR : [Line 7]:append:[HKLM\\A]\n\n");
  EXPECT_TRUE(handlers_.calls().empty());
}

TEST_F(NativeParserTest, ValueLineNeedsACurrentKeyBeforeAnythingElse) {
  state_.currentKey.clear();
  // Even an unknown word with an orphaned backslash fails on the missing key first.
  EXPECT_FALSE(Parse("BOGUS:\"v\"=\"a\\b\"\n"));
  EXPECT_EQ(out_.Take(),
            "***ERROR : A registry key must be specified before a value\n"
            "***ERROR : [Line 7]:BOGUS:\"v\"=\"a\\b\"\n\n");
  EXPECT_FALSE(state_.escapeError);
  // Key lines do not need one.
  EXPECT_TRUE(Parse("UPDATE:[HKLM]\n"));
}

TEST_F(NativeParserTest, OrphanedBackslashIsShownWithACaretUnderIt) {
  EXPECT_TRUE(Parse("UPDATE:\"v\"=\"C:\\temp\"\n"));
  EXPECT_EQ(out_.Take(),
            "***ERROR : An orphaned \\ character was found\n"
            "***ERROR : [Line 7]:UPDATE:\"v\"=\"C:\\temp\"\n"
            "***ERROR : [Line 7]:" + std::string(14, ' ') + "^\n"
            "\n");
  EXPECT_TRUE(state_.escapeError);
  EXPECT_TRUE(handlers_.calls().empty());
}

TEST_F(NativeParserTest, OrphanedBackslashIsFoundBeforeTheWordIsLookedAt) {
  EXPECT_TRUE(Parse("BOGUS:\"v\\\\\"=\"a\\\n"));  // the backslash before the line end
  EXPECT_EQ(out_.Take(),
            "***ERROR : An orphaned \\ character was found\n"
            "***ERROR : [Line 7]:BOGUS:\"v\\\\\"=\"a\\\n"
            "***ERROR : [Line 7]:" + std::string(14, ' ') + "^\n\n");
}

TEST_F(NativeParserTest, AfterAnOrphanedBackslashNothingMoreIsApplied) {
  EXPECT_TRUE(Parse("UPDATE:\"v\"=\"\\x\"\n"));
  out_.Take();
  EXPECT_TRUE(Parse("UPDATE:[HKLM\\Other]\n"));
  EXPECT_TRUE(Parse("APPEND:[HKLM\\Other]\n"));  // not even refused
  EXPECT_TRUE(Parse("UPDATE:\"v\"=\"ok\"\n"));
  EXPECT_TRUE(Parse("BOGUS:\"v\"=\"ok\"\n"));
  EXPECT_EQ(out_.Take(), "");
  // Further orphaned backslashes are still reported.
  EXPECT_TRUE(Parse("UPDATE:\"v\"=\"\\y\"\n"));
  EXPECT_NE(out_.Take().find("orphaned"), std::string::npos);
  EXPECT_TRUE(handlers_.calls().empty());
  EXPECT_EQ(state_.currentKey, "HKLM\\SOFTWARE\\K");
}

}  // namespace
