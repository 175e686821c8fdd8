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

}  // namespace
