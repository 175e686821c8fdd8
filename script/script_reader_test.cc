// Whole scripts through the reader: line numbers, skipping, dialects and how a run stops.
#include "script/script_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

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

TEST_F(ScriptReaderTest, LineNumbersArePhysicalLines) {
  EXPECT_TRUE(Read("DORVALEX\nUPDATE:[HKLM\\A]\n\n;c\nDELETE:\"v\"=\nUPDATE:\"x\"=\\\n  \"1\"\n"
                   "UPDATE:@=\"2\""));
  EXPECT_EQ(handlers_.Take(), (Calls{"2 UpdateKey|[HKLM\\A]\n", "5 DeleteValue|\"v\"=\n",
                                     "6 UpdateValue|\"x\"=\"1\"\n", "8 UpdateValue|@=\"2\"\n"}));
  // Skipped words before the header move nothing.
  EXPECT_TRUE(Read("; two words\r\nDORVALEX\r\nUPDATE:[HKLM\\A]\r\n"));
  EXPECT_EQ(handlers_.Take(), Calls{"3 UpdateKey|[HKLM\\A]\n"});
  EXPECT_EQ(out_.Take(), "");
}

TEST_F(ScriptReaderTest, SkipsBlankAndCommentLinesOnly) {
  EXPECT_TRUE(Read("DORVALEX\n \t \n\r\n\v\f\n;UPDATE:[HKLM\\A]\n ;UPDATE:[HKLM\\B]\n"));
  EXPECT_EQ(handlers_.Take(), Calls{});
  EXPECT_EQ(out_.Take(),
            "***ERROR : Unknown Operation Type - ignoring this line\n"
            "***ERROR : [Line 6]: ;UPDATE:[HKLM\\B]\n\n");
}

TEST_F(ScriptReaderTest, TextAfterTheHeaderWordIsTheFirstLine) {
  EXPECT_TRUE(Read("DORVALEX UPDATE:[HKLM\\A]\n"));
  EXPECT_EQ(out_.Take(),
            "***ERROR : Unknown Operation Type - ignoring this line\n"
            "***ERROR : [Line 1]: UPDATE:[HKLM\\A]\n\n");
}

TEST_F(ScriptReaderTest, Regedit4HeaderSelectsItsParser) {
  EXPECT_TRUE(Read("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\S]\r\n\"v\"=hex:01,\\\r\n  02\r\n"
                   "\"d\"=-\r\n"));
  EXPECT_TRUE(state_.isRegedit4);
  EXPECT_EQ(handlers_.Take(), (Calls{"3 UpdateKey|[HKEY_LOCAL_MACHINE\\S]\n",
                                     "4 UpdateValue|\"v\"=hex:01,02\n", "6 DeleteValue|\"d\"=-\n"}));
  EXPECT_TRUE(Read("DORVALEX\n"));
  EXPECT_FALSE(state_.isRegedit4);
}

TEST_F(ScriptReaderTest, ParserFailureStopsAtOnce) {
  handlers_.FailFromCall(2);
  EXPECT_FALSE(Read("DORVALEX\nUPDATE:[HKLM\\A]\nUPDATE:[HKLM\\B]\nUPDATE:[HKLM\\C]\n"));
  EXPECT_EQ(handlers_.Take(), (Calls{"2 UpdateKey|[HKLM\\A]\n", "3 UpdateKey|[HKLM\\B]\n"}));
  EXPECT_EQ(out_.Take(), "***ERROR : Fatal Error - Program Exit\n");
}

TEST_F(ScriptReaderTest, MissingHeaderIsRefused) {
  for (std::string script : {""s, "\n\n"s, "UPDATE:[HKLM\\A]\n"s, "REGEDIT5\nDORVALEX2\n"s,
                             "\x1a" "DORVALEX\n"s}) {
    EXPECT_FALSE(Read(script));
    EXPECT_EQ(out_.Take(), "***ERROR : Registry file is not a DORVALEX or REGEDIT4 file type\n");
  }
  EXPECT_EQ(handlers_.Take(), Calls{});
}

TEST_F(ScriptReaderTest, CaretDiagnosticNamesThePhysicalLine) {
  EXPECT_TRUE(Read("DORVALEX\n\nUPDATE:\"v\"=\"a\\q\"\nUPDATE:\"w\"=\"ok\"\n"));
  EXPECT_TRUE(state_.escapeError);
  EXPECT_EQ(out_.Take(),
            "***ERROR : An orphaned \\ character was found\n"
            "***ERROR : [Line 3]:UPDATE:\"v\"=\"a\\q\"\n"
            "***ERROR : [Line 3]:" + std::string(13, ' ') + "^\n\n");
  EXPECT_EQ(handlers_.Take(), Calls{});
}

TEST_F(ScriptReaderTest, BinaryGarbageNeverCrashes) {
  std::string garbage;
  uint32_t seed = 12345;
  for (int i = 0; i < 200'000; ++i) {
    seed = seed * 1103515245 + 12345;
    garbage.push_back(static_cast<char>(seed >> 16));
  }
  (void)Read("DORVALEX\n" + garbage);
  (void)Read("REGEDIT4\n" + garbage);
  out_.Take();
}

TEST(ScriptFileTest, UnopenableFilesAreReported) {
  CaptureOutput out;
  ScriptState state;
  RecordingHandlers handlers;
  EXPECT_FALSE(ReadScriptFile("/nonexistent/dir/script.txt", state, handlers));
  EXPECT_EQ(out.Take(),
            "***ERROR : Unable to open Registry Input File: \"/nonexistent/dir/script.txt\"\n");
  EXPECT_FALSE(ReadScriptFile("/tmp", state, handlers));
  EXPECT_EQ(out.Take(), "***ERROR : Unable to open Registry Input File: \"/tmp\"\n");

  char path[] = "/tmp/dx_script_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string script = "dorvalex\nUPDATE:[HKLM\\A]\n";
  ASSERT_EQ(write(fd, script.data(), script.size()), static_cast<ssize_t>(script.size()));
  close(fd);
  EXPECT_TRUE(ReadScriptFile(path, state, handlers));
  EXPECT_EQ(handlers.Take(), Calls{"UpdateKey|[HKLM\\A]\n"});
  unlink(path);
}

}  // namespace
