// The export parser against recording handlers: updates, deletions, comments after data and
// diagnostics.
#include "script/regedit4_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/capture_output.h"
#include "testing/recording_handlers.h"

namespace {

using Calls = std::vector<std::string>;

TEST(Regedit4ParserTest, UpdatesDeletionsCommentsAndDiagnostics) {
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
       {"\"Name\"=\"a\\\\b\\\"c\"\n", "UPDATE:\"v\"=\"x\"\n", "\"v\"=-x\n", "\"v\"= -\n", "\"Old\"=-\n",
        "@=- ;c\n", "\"a\\\\b\"=-\n",
        "\"a\\\"=b\"=-\n",  // the name ends at its second quote: data b"=-
        "\"s\"=\"a;b\\\"c;\"\t ; comment \"\n", "\"d\"=dword:1 ;c\n", "\"m\"=Multi:\"a;\",\"b\";c\n",
        "[ -HKLM\\A]\n", "[- HKLM\\A]\n", "[-HKLM\\A] ;c\n"}) {
    EXPECT_TRUE(ParseRegedit4Line(line, state, handlers)) << line;
  }
  EXPECT_EQ(handlers.Take(),
            (Calls{"UpdateValue|\"Name\"=\"a\\b\"c\"\n", "UpdateValue|UPDATE:\"v\"=\"x\"\n",
                   "UpdateValue|\"v\"=-x\n", "UpdateValue|\"v\"= -\n", "DeleteValue|\"Old\"=-\n",
                   "DeleteValue|@=-\n", "DeleteValue|\"a\\b\"=-\n", "UpdateValue|\"a\"=b\"=-\n",
                   "UpdateValue|\"s\"=\"a;b\"c;\"\n", "UpdateValue|\"d\"=dword:1\n",
                   "UpdateValue|\"m\"=Multi:\"a;\",\"b\"\n", "UpdateKey|[ -HKLM\\A]\n",
                   "UpdateKey|[- HKLM\\A]\n", "DeleteKey|[HKLM\\A] ;c\n"}));
  // Under a deleted key value lines are ignored; text after a string's closing quote stops.
  EXPECT_TRUE(ParseRegedit4Line("\"v\"=\"x\"\n", state, handlers));
  EXPECT_TRUE(ParseRegedit4Line("[HKLM\\B]\n", state, handlers));
  EXPECT_FALSE(ParseRegedit4Line("\"v\"=\"x\" y\"\n", state, handlers));
  EXPECT_EQ(handlers.Take(), Calls{"UpdateKey|[HKLM\\B]\n"});
  EXPECT_EQ(out.Take(), "***ERROR : Value of a deleted key - ignoring this line\n"
                        "***ERROR : [Line 12]:\"v\"=\"x\"\n\n"
                        "***ERROR : Invalid Value - text after the closing double quote\n"
                        "***ERROR : [Line 12]:\"v\"=\"x\" y\"\n\n");
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
