// Whole scripts through the reader: line numbers, skipping, dialects and how a run stops.
#include "script/script_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "testing/capture_output.h"
#include "testing/recording_handlers.h"

namespace {

using namespace std::string_literals;
using Calls = std::vector<std::string>;

class ScriptReaderTest : public testing::Test {
 protected:
  ScriptReaderTest() { state_.currentKey = "HKLM\\K"; }

  bool Read(std::string script) {
    std::FILE* file = fmemopen(script.data(), script.size(), "rb");
    bool ok = ReadScriptStream(file, "in.txt", state_, handlers_);
    std::fclose(file);
    return ok;
  }

  ScriptState state_;
  RecordingHandlers handlers_{&state_};
  CaptureOutput out_;
};

TEST_F(ScriptReaderTest, HeaderSelectsTheDialect) {
  // Lines keep the numbers they have in the file, continued ones that of their first.
  EXPECT_TRUE(Read("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\S]\r\n\"v\"=hex:01,\\\r\n  02\r\n"
                   ";c\r\n\"d\"=-\r\n"));
  EXPECT_TRUE(state_.isRegedit4);
  EXPECT_EQ(handlers_.Take(),
            (Calls{"3 UpdateKey|[HKEY_LOCAL_MACHINE\\S]\n", "4 UpdateValue|\"v\"=hex:01,02\n",
                   "7 DeleteValue|\"d\"=-\n"}));
  EXPECT_TRUE(Read("DORVALEX\n \t \n\v\f\n ;c\n"));  // blank lines skipped, not an indented ;
  EXPECT_FALSE(state_.isRegedit4);
  EXPECT_EQ(out_.Take(), "***ERROR : Unknown Operation Type - ignoring this line\n"
                         "***ERROR : [Line 4]: ;c\n\n");
  for (std::string script : {""s, "UPDATE:[HKLM\\A]\n"s, "REGEDIT5\nDORVALEX2\n"s,
                             "\x1a" "DORVALEX\n"s}) {
    EXPECT_FALSE(Read(script));
    EXPECT_EQ(out_.Take(), "***ERROR : Registry file is not a DORVALEX or REGEDIT4 file type\n");
  }
  EXPECT_EQ(handlers_.Take(), Calls{});
}

TEST_F(ScriptReaderTest, ParserFailureStopsAtOnce) {
  handlers_.FailFromCall(2);
  EXPECT_FALSE(Read("DORVALEX\nUPDATE:[HKLM\\A]\nUPDATE:[HKLM\\B]\nUPDATE:[HKLM\\C]\n"));
  EXPECT_EQ(handlers_.Take(), (Calls{"2 UpdateKey|[HKLM\\A]\n", "3 UpdateKey|[HKLM\\B]\n"}));
  EXPECT_EQ(out_.Take(), "***ERROR : Fatal Error - Program Exit\n");
}

TEST(ScriptFileTest, UnopenableFilesAreReported) {
  CaptureOutput out;
  ScriptState state;
  RecordingHandlers handlers;
  EXPECT_FALSE(ReadScriptFile("/nonexistent/dir/script.txt", state, handlers));
  EXPECT_FALSE(ReadScriptFile("/tmp", state, handlers));
  EXPECT_EQ(out.Take(),
            "***ERROR : Unable to open Registry Input File: \"/nonexistent/dir/script.txt\"\n"
            "***ERROR : Unable to open Registry Input File: \"/tmp\"\n");
}

}  // namespace
