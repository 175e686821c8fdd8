// Reading key paths, value names, data texts and string operands out of script lines.
#include "script/line_helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/capture_output.h"

namespace {

using Split = bool (*)(std::string_view, const ScriptState&, std::string*, std::string*);

TEST(LineHelpersTest, SplitsKeysNamesDataAndOperands) {
  ScriptState state;
  CaptureOutput out;
  EXPECT_TRUE(SetCurrentKey("[HKLM\\A\\B] trailing ]\n", state));
  EXPECT_EQ(state.currentKey, "HKLM\\A\\B");
  struct Row { Split split; std::string text, name, data; };
  const std::vector<Row> rows = {
      {SplitValueLine, "\"Path\"=\"C:\\x\"\n", "Path", "\"C:\\x\""},
      {SplitValueLine, "@\"=x\n", "", "x"},  // after "@" the first "=" ends the name
      {SplitValueLine, "\"a=b\"=c=d\n", "a=b", "c=d"},
      {SplitValueLine, "\"a\" =x\n", "a\"", "x"},  // a blank before "=" keeps the quote
      {SplitStringEditLine, "\"List\"=mULTI:\"abc\"\n", "List", "abc"},
      {SplitStringEditLine, "\"List\"=\"ulti:xabc\"\n", "List", "abc"},  // loses six characters
      {SplitStringEditLine, "\"List\"=Multi:\"ulti:x\"\n", "List", "ulti:x"},
  };
  for (const Row& row : rows) {
    std::string name = "?", data = "?";
    EXPECT_TRUE(row.split(row.text, state, &name, &data)) << row.text;
    EXPECT_EQ(name + "|" + data, row.name + "|" + row.data) << row.text;
  }
  EXPECT_EQ(out.Take(), "");
}

TEST(LineHelpersTest, RefusalsAreReportedWithTheLine) {
  ScriptState state;
  state.lineNumber = 4;
  state.currentKey = "HKLM\\Kept";
  CaptureOutput out;
  std::string name, data;
  EXPECT_FALSE(SetCurrentKey("[HKLM\\A\n", state));
  EXPECT_EQ(state.currentKey, "HKLM\\Kept");
  EXPECT_FALSE(SplitValueLine("\"v=x\n", state, &name, &data));
  EXPECT_FALSE(SplitValueName("\"v\"\n", state, &name));
  EXPECT_FALSE(SplitStringEditLine("\"L\"=\"\n", state, &name, &data));
  EXPECT_FALSE(SplitStringEditLine("@=x\n", state, &name, &data));
  EXPECT_EQ(out.Take(),
            "***ERROR : Invalid Key - no ] specified\n***ERROR : [Line 4]:[HKLM\\A\n\n"
            "***ERROR : Invalid Value - no = found\n***ERROR : [Line 4]:\"v=x\n\n"
            "***ERROR : Invalid Value - no = found\n***ERROR : [Line 4]:\"v\"\n\n"
            "***ERROR : Invalid Value - string must be in double quotes\n"
            "***ERROR : [Line 4]:\"L\"=\"\n\n"
            "***ERROR : Invalid Value - string must be in double quotes\n"
            "***ERROR : [Line 4]:@=x\n\n");
}

}  // namespace
