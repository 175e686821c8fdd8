// Whole scripts through the reader: skipping, dialects and the reports of unreadable scripts.
// (Line numbering and a failed line's stop are checked on the built tool, tests/.)
#include "script/script_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "testing/capture_output.h"
#include "testing/recording_handlers.h"

namespace {

using Calls = std::vector<std::string>;

TEST(ScriptReaderTest, HeaderSelectsTheDialectAndBlankLinesAreSkipped) {
  CaptureOutput out;
  ScriptState state;
  state.currentKey = "HKLM\\K";  // recording handlers set none
  RecordingHandlers handlers(&state);
  auto read = [&](std::string script) {
    std::FILE* file = fmemopen(script.data(), script.size(), "rb");
    const bool ok = ReadScriptStream(file, "in.txt", state, handlers);
    std::fclose(file);
    return ok;
  };
  EXPECT_TRUE(read("REGEDIT4\n[HKEY_USERS\\S]\n\"d\"=-\n"));
  EXPECT_TRUE(state.isRegedit4);
  EXPECT_EQ(handlers.Take(), (Calls{"2 UpdateKey|[HKEY_USERS\\S]\n", "3 DeleteValue|\"d\"=-\n"}));
  EXPECT_TRUE(read("DORVALEX\n \t \n\v\f\n ;c\n"));  // blank lines skipped, not an indented ;
  EXPECT_FALSE(state.isRegedit4);
  EXPECT_EQ(out.Take(), "***ERROR : Unknown Operation Type - ignoring this line\n"
                        "***ERROR : [Line 4]: ;c\n\n");
  EXPECT_FALSE(read("REGEDIT5\nDORVALEX2\nUPDATE:[HKLM\\A]\n"));
  EXPECT_FALSE(read(std::string("\xFF\xFEz\0\xE9\0\r\0\n\0x\0", 12)));
  EXPECT_FALSE(read(std::string("\xFE\xFF\0z", 4)));
  EXPECT_EQ(out.Take(), "***ERROR : Registry file is not a DORVALEX or REGEDIT4 file type\n"
                        "***ERROR : The file begins with \"REGEDIT5\"\n"
                        "***ERROR : Registry file is not a DORVALEX or REGEDIT4 file type\n"
                        "***ERROR : The file begins with \"z\\xC3\\xA9\"\n"
                        "***ERROR : Registry file is not a DORVALEX or REGEDIT4 file type\n"
                        "***ERROR : The file begins with \"\\xFE\\xFF\\x00z\" - it looks like "
                        "big-endian UTF-16 text, which is not read\n");
  EXPECT_EQ(handlers.Take(), Calls{});
  // A folder opens but cannot be read as a script.
  EXPECT_FALSE(ReadScriptFile("/tmp", state, handlers));
  EXPECT_EQ(out.Take(), "***ERROR : Unable to open Registry Input File: \"/tmp\"\n");
}

}  // namespace
