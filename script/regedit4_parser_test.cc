// The REGEDIT4 parser against recording handlers: updates, the deleting "-" and diagnostics.
#include "script/regedit4_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/capture_output.h"
#include "testing/recording_handlers.h"

namespace {

using Calls = std::vector<std::string>;

TEST(Regedit4ParserTest, EveryLineIsAnUpdateButALoneMinusDeletesAndDiagnosticsAreExact) {
  ScriptState state;
  state.isRegedit4 = true;
  state.lineNumber = 12;
  RecordingHandlers handlers;
  CaptureOutput out;
  EXPECT_FALSE(ParseRegedit4Line("\"v\"=\"x\"\n", state, handlers));  // no key yet
  EXPECT_EQ(out.Take(), "***ERROR : A registry key must be specified before a value\n"
                        "***ERROR : [Line 12]:\"v\"=\"x\"\n\n");
  state.currentKey = "HKEY_LOCAL_MACHINE\\K";
  for (const char* line :
       {"[-HKEY_LOCAL_MACHINE\\A]\n", "\"Name\"=\"a\\\\b\\\"c\"\n", "UPDATE:\"v\"=\"x\"\n",
        "\"v\"=-x\n", "\"v\"= -\n", "\"Old\"=-\n", "@=-\n", "\"a\\\\b\"=-\n",
        "\"a\\\"=b\"=-\n"}) {  // the last name ends at its second quote: data b"=-
    EXPECT_TRUE(ParseRegedit4Line(line, state, handlers)) << line;
  }
  EXPECT_EQ(handlers.Take(),
            (Calls{"UpdateKey|[-HKEY_LOCAL_MACHINE\\A]\n", "UpdateValue|\"Name\"=\"a\\b\"c\"\n",
                   "UpdateValue|UPDATE:\"v\"=\"x\"\n", "UpdateValue|\"v\"=-x\n",
                   "UpdateValue|\"v\"= -\n", "DeleteValue|\"Old\"=-\n", "DeleteValue|@=-\n",
                   "DeleteValue|\"a\\b\"=-\n", "UpdateValue|\"a\"=b\"=-\n"}));
  handlers.FailFromCall(1);
  EXPECT_FALSE(ParseRegedit4Line("\"Old\"=-\n", state, handlers));
  EXPECT_EQ(out.Take(), "");
  handlers.Take();
  // An indented key line is a value line whose path separators are orphaned backslashes.
  EXPECT_TRUE(ParseRegedit4Line("  [HKLM\\A]\n", state, handlers));
  EXPECT_TRUE(state.escapeError);
  EXPECT_TRUE(ParseRegedit4Line("\\x\n", state, handlers));
  EXPECT_EQ(out.Take(), "***ERROR : An orphaned \\ character was found\n"
                        "***ERROR : [Line 12]:  [HKLM\\A]\n"
                        "***ERROR : [Line 12]:       ^\n\n"
                        "***ERROR : An orphaned \\ character was found\n"
                        "***ERROR : [Line 12]:\\x\n"
                        "***ERROR : [Line 12]:^\n\n");
  EXPECT_TRUE(ParseRegedit4Line("[HKLM\\B]\n", state, handlers));  // nothing more is applied
  EXPECT_EQ(handlers.Take(), Calls{});
}

}  // namespace
