// The native-dialect parser against recording handlers: the lines it refuses and the exact
// console text of its diagnostics (each operation word runs in the black-box tests).
#include "script/native_parser.h"

#include <gtest/gtest.h>

#include <cctype>
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
  // The two lines naming a refused line, after the message itself.
  static std::string Refusal(const std::string& message, const std::string& line) {
    return "***ERROR : " + message + "\n***ERROR : [Line 7]:" + line + "\n";
  }

  ScriptState state_;
  RecordingHandlers handlers_;
  CaptureOutput out_;
};

TEST_F(NativeParserTest, RefusedLinesAreReportedExactly) {
  for (const std::string& line : {"no colon at all\n"s, " UPDATE:[HKLM\\A]\n"s,
                                  "UPDATE :\"v\"=\"x\"\n"s, std::string(5000, 'A') + ":[H]\n"}) {
    EXPECT_TRUE(Parse(line)) << line;  // skipped, the run goes on
    EXPECT_EQ(out_.Take(), Refusal("Unknown Operation Type - ignoring this line", line));
  }
  for (std::string word : {"APPEND", "prepend", "REPLACE", "REMOVE"}) {
    const std::string line = word + ":[HKLM\\A]\n";
    EXPECT_FALSE(Parse(line));
    for (char& c : word) c = static_cast<char>(std::toupper(c));
    EXPECT_EQ(out_.Take(), Refusal(word + " operation is not allowed on KEY types", line));
  }
  state_.currentKey.clear();
  // Even an unknown word with an orphaned backslash fails on the missing key first.
  EXPECT_FALSE(Parse("BOGUS:\"v\"=\"a\\b\"\n"));
  EXPECT_EQ(out_.Take(), Refusal("A registry key must be specified before a value",
                                 "BOGUS:\"v\"=\"a\\b\"\n"));
  EXPECT_TRUE(Parse("UPDATE:[HKLM]\n"));  // key lines need none
  EXPECT_EQ(handlers_.Take(), Calls{"UpdateKey|[HKLM]\n"});
}

}  // namespace
