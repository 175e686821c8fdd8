// Reading key paths, value names, data texts and string operands out of script lines.
#include "script/line_helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/capture_output.h"

namespace {

class LineHelpersTest : public testing::Test {
 protected:
  LineHelpersTest() { state_.lineNumber = 4; }
  ScriptState state_;
  CaptureOutput out_;
};

TEST_F(LineHelpersTest, CurrentKeyIsThePathUpToTheFirstBracket) {
  EXPECT_TRUE(SetCurrentKey("[HKLM\\A\\B] trailing ]\n", state_));
  EXPECT_EQ(state_.currentKey, "HKLM\\A\\B");
  std::string longPath = "HKLM\\" + std::string(2000, 'k');
  EXPECT_TRUE(SetCurrentKey("[" + longPath + "]\n", state_));
  EXPECT_EQ(state_.currentKey, longPath);  // kept whole; the registry decides
  EXPECT_TRUE(SetCurrentKey("[]\n", state_));
  EXPECT_EQ(state_.currentKey, "");
  EXPECT_EQ(out_.Take(), "");

  state_.currentKey = "HKLM\\Kept";
  EXPECT_FALSE(SetCurrentKey("[HKLM\\A\n", state_));
  EXPECT_EQ(state_.currentKey, "HKLM\\Kept");
  EXPECT_EQ(out_.Take(),
            "***ERROR : Invalid Key - no ] specified\n"
            "***ERROR : [Line 4]:[HKLM\\A\n\n");
}

TEST_F(LineHelpersTest, SplitsNameAndData) {
  struct Row {
    std::string text;
    std::string name;
    std::string data;
  };
  const std::vector<Row> rows = {
      {"\"Path\"=\"C:\\x\"\n", "Path", "\"C:\\x\""},
      {"@=Dword:1\n", "", "Dword:1"},
      {"@\"=x\n", "", "x"},  // after "@" the first "=" ends the name
      {"\"\"=hex:\n", "", "hex:"},
      {"\"a=b\"=c=d\n", "a=b", "c=d"},
      {"\"a\" =x\n", "a\"", "x"},  // a blank before "=" moves the quote into the name
      {"\"a\"b\"=x\n", "a\"b", "x"},  // quotes after the second are ordinary
      {"\"a\"\"b\"=x\n", "a\"\"b", "x"},
      {"\"v\"=\n", "v", ""},
  };
  for (const Row& row : rows) {
    std::string name = "?", data = "?";
    EXPECT_TRUE(SplitValueLine(row.text, state_, &name, &data)) << row.text;
    EXPECT_EQ(name, row.name) << row.text;
    EXPECT_EQ(data, row.data) << row.text;
  }
  EXPECT_EQ(out_.Take(), "");
}

TEST_F(LineHelpersTest, MissingEqualsIsReportedWithTheText) {
  std::string name, data;
  for (std::string text : {"\"v\"\n", "\"v=x\n", "\n", "plain=text\n"}) {
    EXPECT_FALSE(SplitValueLine(text, state_, &name, &data));
    EXPECT_EQ(out_.Take(), "***ERROR : Invalid Value - no = found\n"
                           "***ERROR : [Line 4]:" + text + "\n");
    EXPECT_FALSE(SplitStringEditLine(text, state_, &name, &data));
    out_.Take();
  }
  EXPECT_FALSE(SplitValueName("\"v\"\n", state_, &name));
  EXPECT_EQ(out_.Take(), "***ERROR : Invalid Value - no = found\n"
                         "***ERROR : [Line 4]:\"v\"\n\n");
}

TEST_F(LineHelpersTest, DeleteNameNeedsNoEqualsForTheDefaultValue) {
  std::string name = "?";
  EXPECT_TRUE(SplitValueName("@\n", state_, &name));
  EXPECT_EQ(name, "");
  EXPECT_TRUE(SplitValueName("\"v x\"=anything\n", state_, &name));
  EXPECT_EQ(name, "v x");
  EXPECT_TRUE(SplitValueName("\"\"=\n", state_, &name));
  EXPECT_EQ(name, "");
  EXPECT_EQ(out_.Take(), "");
}

TEST_F(LineHelpersTest, StringEditOperandLosesItsQuotesAndMultiPrefix) {
  struct Row {
    std::string text;
    std::string name;
    std::string operand;
  };
  const std::vector<Row> rows = {
      {"\"List\"=\"abc\"\n", "List", "abc"},
      {"\"List\"=Multi:\"abc\"\n", "List", "abc"},
      {"\"List\"=mULTI:\"abc\"\n", "List", "abc"},
      {"\"List\"=\"ulti:xabc\"\n", "List", "abc"},  // the plain form loses six characters
      {"\"List\"=Multi:\"ulti:x\"\n", "List", "ulti:x"},
      {"@=\"\"\n", "", ""},
      {"@=\"a\"\"b\"\n", "", "a\"\"b"},
      {"\"L\"=Multi:\"\n", "L", ""},
  };
  for (const Row& row : rows) {
    std::string name = "?", operand = "?";
    EXPECT_TRUE(SplitStringEditLine(row.text, state_, &name, &operand)) << row.text;
    EXPECT_EQ(name, row.name) << row.text;
    EXPECT_EQ(operand, row.operand) << row.text;
  }
  EXPECT_EQ(out_.Take(), "");
}

TEST_F(LineHelpersTest, StringEditOperandNeedsItsTwoQuotes) {
  std::string name, operand;
  for (std::string text : {"\"L\"=\n", "\"L\"=\"\n", "@=x\n"}) {
    EXPECT_FALSE(SplitStringEditLine(text, state_, &name, &operand));
    EXPECT_EQ(out_.Take(), "***ERROR : Invalid Value - string must be in double quotes\n"
                           "***ERROR : [Line 4]:" + text + "\n");
  }
}

}  // namespace
