// UPDATE and DELETE against a real store: the records of the cases the black-box and round-trip
// tests do not reach, and that no line changes anything once its record could not be written.
#include <string>

#include "ops/operations.h"
#include "script/native_parser.h"
#include "testing/fault_registry.h"
#include "testing/store_fixture.h"

namespace {

class ValueRecordsTest : public dx_testing::StoreFixture {
 protected:
  // Runs native lines through the parser into the operations; false at the first that fails.
  bool Apply(std::initializer_list<std::string> lines) {
    Operations ops(settings_, state_, *keys_, backout_);
    for (const std::string& line : lines) {
      ++state_.lineNumber;
      if (!ParseNativeLine(line + "\n", state_, ops)) return false;
    }
    return true;
  }
  void SeedExample() {
    Seed("SOFTWARE\\T", "s", 1, std::string("old \\ \"q\"\0", 10));
    Seed("SOFTWARE\\T", "big", 1, std::string(5000, 'z') + '\0');
    Seed("SOFTWARE\\K", "", 1, std::string("top\0", 4));
    Seed("SOFTWARE\\K\\Sub", "p", 1, std::string("C:\\Temp\0", 8));
  }
};

TEST_F(ValueRecordsTest, EachLineRecordsWhatUndoesIt) {
  struct Case {
    const char* name;
    bool changesOnly;
    std::initializer_list<std::string> lines;
    std::string records, output = "";  // records after the "DORVALEX\n" header
  };
  const Case cases[] = {
      {"/CHANGES leaves out new values and their header", true,
       {"UPDATE:[HKLM\\SOFTWARE\\T]", "UPDATE:\"fresh\"=\"1\"", "UPDATE:[HKLM\\SOFTWARE\\N]"},
       "\nDELETE:[HKLM\\SOFTWARE\\N]\n"},
      {"a value longer than the line buffer is recorded whole", false,
       {"UPDATE:[HKLM\\SOFTWARE\\T]", "DELETE:\"big\"="},
       "\nUPDATE:[HKLM\\SOFTWARE\\T]\nUPDATE:\"big\"=\"" + std::string(5000, 'z') + "\"\n"},
      {"deleted key: its snapshot, then later values in a block of their own", false,
       {"DELETE:[HKLM\\SOFTWARE\\K]", "UPDATE:\"v\"=\"new\""},
       "\nUPDATE:[HKLM\\SOFTWARE\\K]\nUPDATE:\"\"=\"top\"\n"
       "\nUPDATE:[HKLM\\SOFTWARE\\K\\Sub]\nUPDATE:\"p\"=\"C:\\\\Temp\"\n"
       "\nUPDATE:[HKLM\\SOFTWARE\\K]\nDELETE:\"v\"=\n"},
      {"a root name alone names no key: reported, and the run goes on", false,
       {"DELETE:[hkcu]", "UPDATE:[HKLM\\SOFTWARE\\N]"},
       "\nDELETE:[HKLM\\SOFTWARE\\N]\n",
       "***ERROR : Invalid Key - no root key found before \\\n***ERROR : [Line 1]:hkcu\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    state_ = ScriptState();
    SeedExample();
    settings_.changesOnly = c.changesOnly;
    OpenBackout();
    EXPECT_TRUE(Apply(c.lines));
    EXPECT_EQ(BackoutText(), "DORVALEX\n" + c.records);
    EXPECT_EQ(output_.Take(), c.output);
  }
}

// A value that cannot be read (here a lost connection) is not an absent one: the line stops
// with the read's error before anything is recorded or changed.
TEST_F(ValueRecordsTest, AFailedReadStopsTheLineBeforeItsRecord) {
  SeedExample();
  const std::string before = Dump();
  FaultRegistry faults(*registry_);
  faults.FailCall(RegCall::kQueryValue, kErrorRpcUnavailable, "s", -1);
  keys_ = std::make_unique<KeyAccess>(faults, state_);
  for (const char* line : {"UPDATE:\"s\"=\"new\"", "DELETE:\"s\"=", "APPEND:\"s\"=\"x\"",
                           "REMOVE:\"s\"=\"x\""}) {
    SCOPED_TRACE(line);
    state_ = ScriptState();
    OpenBackout();
    state_.currentKey = "HKLM\\SOFTWARE\\T";
    state_.keyBackoutState = keyExisted;
    EXPECT_FALSE(Apply({line}));
    const std::string out = output_.Take();
    EXPECT_TRUE(out.starts_with("***ERROR : Unable to Query Value\n         : (1722)")) << out;
    const std::string text = std::string(line).substr(std::string(line).find(':') + 1);
    EXPECT_NE(out.find("\n***ERROR : [Line 1]:" + text), std::string::npos) << out;
    EXPECT_TRUE(backout_.Close());
    EXPECT_EQ(BackoutText(), "DORVALEX\n");
    EXPECT_EQ(Dump(), before);
  }
}

// Names are recorded per key, without regard to the case of ASCII letters, however many a key
// holds.
TEST(RecordedValuesTest, NamesAreKeptPerKeyWithoutRegardToCase) {
  RecordedValues recorded;
  for (int i = 0; i < 300; ++i) {
    recorded.Add("HKLM\\A", "Value" + std::to_string(i));
    recorded.Add("HKLM\\B", "b" + std::to_string(i));
  }
  recorded.Add("hklm\\a", "VALUE0");  // already there
  for (int i = 0; i < 300; ++i) {
    EXPECT_TRUE(recorded.Holds("hklm\\a", "VALUE" + std::to_string(i))) << i;
    EXPECT_FALSE(recorded.Holds("HKLM\\A", "b" + std::to_string(i))) << i;
  }
  EXPECT_FALSE(recorded.Holds("HKLM\\A", "Value300"));
  EXPECT_FALSE(recorded.Holds("HKLM\\C", "Value1"));
}

}  // namespace
