// UPDATE and DELETE against a real store: the records each line leaves in the backout file,
// what the no-action and /CHANGES runs do, and the refusals that must come before any record.
#include <string>

#include "ops/operations.h"
#include "testing/store_fixture.h"

namespace {

using dx_testing::StoreFixture;

class UpdateDeleteTest : public StoreFixture {
 protected:
  Operations& Ops() {
    if (!ops_) ops_ = std::make_unique<Operations>(settings_, state_, *keys_, backout_);
    return *ops_;
  }
  // Feeds native lines ("UPDATE:[...]", "DELETE:\"v\"=") straight to the handlers; false at
  // the first handler that fails.
  bool Apply(std::initializer_list<std::string> lines) {
    for (const std::string& line : lines) {
      ++state_.lineNumber;
      size_t colon = line.find(':');
      std::string op = line.substr(0, colon);
      std::string rest = line.substr(colon + 1) + "\n";
      bool key = rest[0] == '[';
      bool ok = op == "UPDATE" ? (key ? Ops().UpdateKey(rest) : Ops().UpdateValue(rest))
                               : (key ? Ops().DeleteKey(rest) : Ops().DeleteValue(rest));
      if (!ok) return false;
    }
    return true;
  }

  std::unique_ptr<Operations> ops_;
};

TEST_F(UpdateDeleteTest, UpdateRecordsWhatUndoesEachLine) {
  struct Case {
    const char* name;
    bool changesOnly;
    std::initializer_list<std::string> lines;
    std::string records;  // after the "DORVALEX\n" header
  };
  const Case cases[] = {
      {"new key: one DELETE block of the highest key created, values unrecorded", false,
       {"UPDATE:[HKLM\\SOFTWARE\\New\\Deep]", "UPDATE:\"a\"=\"1\"", "UPDATE:@=Dword:00000002",
        "UPDATE:[HKLM\\SOFTWARE\\New\\Other]"},
       "\nDELETE:[HKLM\\SOFTWARE\\New]\n\nDELETE:[HKLM\\SOFTWARE\\New\\Other]\n"},
      {"existing value: header once, old data; absent value: DELETE", false,
       {"UPDATE:[HKLM\\SOFTWARE\\T]", "UPDATE:\"s\"=\"new\"", "UPDATE:\"s\"=\"newer\"",
        "UPDATE:\"fresh\"=hex:01", "UPDATE:@=\"d\""},
       "\nUPDATE:[HKLM\\SOFTWARE\\T]\nUPDATE:\"s\"=\"old \\\\ \\\"q\\\"\"\n"
       "UPDATE:\"s\"=\"new\"\nDELETE:\"fresh\"=\nDELETE:@=\n"},
      {"same data is still recorded; names escaped", false,
       {"UPDATE:[HKLM\\SOFTWARE\\T]", "UPDATE:\"a\"b\"=Dword:00000007"},
       "\nUPDATE:[HKLM\\SOFTWARE\\T]\nUPDATE:\"a\\\"b\"=Dword:00000007\n"},
      {"/CHANGES leaves out new values and their header", true,
       {"UPDATE:[HKLM\\SOFTWARE\\T]", "UPDATE:\"fresh\"=\"1\"", "UPDATE:[HKLM\\SOFTWARE\\N]"},
       "\nDELETE:[HKLM\\SOFTWARE\\N]\n"},
      {"data that would not read back is recorded in hex", false,
       {"UPDATE:[HKLM\\SOFTWARE\\T]", "UPDATE:\"odd\"=\"x\""},
       "\nUPDATE:[HKLM\\SOFTWARE\\T]\nUPDATE:\"odd\"=hex(1):61,00,62\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    state_ = ScriptState();
    Seed("SOFTWARE\\T", "s", 1, std::string("old \\ \"q\"\0", 10));
    Seed("SOFTWARE\\T", "a\"b", 4, std::string("\x07\0\0\0", 4));
    Seed("SOFTWARE\\T", "odd", 1, std::string("a\0b", 3));
    settings_.changesOnly = c.changesOnly;
    OpenBackout();
    EXPECT_TRUE(Apply(c.lines));
    EXPECT_EQ(BackoutText(), "DORVALEX\n" + c.records);
    EXPECT_EQ(output_.Take(), "");
    ops_.reset();
  }
}

TEST_F(UpdateDeleteTest, NoActionRunWritesTheSameRecordsAndChangesNothing) {
  const std::string common =
      "DORVALEX\n\nUPDATE:[HKLM\\SOFTWARE\\T]\nUPDATE:\"s\"=\"old\"\nDELETE:\"n\"=\n"
      "\nDELETE:[HKLM\\SOFTWARE\\X]\n"
      "\nUPDATE:[HKLM\\SOFTWARE\\T\\Sub]\nUPDATE:\"v\"=Dword:00000001\n";
  // Only the dry run still finds the value of the key it did not delete.
  const std::string dryOnly = "\nUPDATE:[HKLM\\SOFTWARE\\T\\Sub]\nUPDATE:\"v\"=Dword:00000001\n";
  for (bool noAction : {true, false}) {
    SCOPED_TRACE(noAction);
    TearDown();
    SetUp();
    state_ = ScriptState();
    ops_.reset();
    Seed("SOFTWARE\\T", "s", 1, std::string("old\0", 4));
    Seed("SOFTWARE\\T\\Sub", "v", 4, std::string("\1\0\0\0", 4));
    std::string before = Dump();
    settings_.noAction = noAction;
    OpenBackout();
    ASSERT_TRUE(Apply({"UPDATE:[HKLM\\SOFTWARE\\T]", "UPDATE:\"s\"=\"x\"", "UPDATE:\"n\"=\"x\"",
                       "UPDATE:[HKLM\\SOFTWARE\\X]", "UPDATE:\"a\"=\"1\"",
                       "DELETE:[HKLM\\SOFTWARE\\T\\Sub]", "DELETE:\"v\"="}));
    EXPECT_EQ(BackoutText(), noAction ? common + dryOnly : common);
    EXPECT_EQ(Dump() == before, noAction);
    EXPECT_EQ(KeyExists("SOFTWARE\\X"), !noAction);
  }
}

TEST_F(UpdateDeleteTest, SuccessLinesInVerboseMode) {
  settings_.quiet = false;
  state_.lineNumber = 6;
  ASSERT_TRUE(Apply({"UPDATE:[HKLM\\SOFTWARE\\V]", "UPDATE:\"x\"=\"1\"", "DELETE:\"x\"=",
                     "DELETE:\"x\"=", "DELETE:[HKLM\\SOFTWARE\\V]", "DELETE:[HKLM\\SOFTWARE\\V]"}));
  EXPECT_EQ(output_.Take(),
            "UPDATE : [7] Success - [HKLM\\SOFTWARE\\V]\n"
            "UPDATE : [8] Success - \"x\"=\"1\"\n"
            "DELETE : [9] Success - \"x\"=\n"
            "DELETE : [11] Success - [HKLM\\SOFTWARE\\V]\n");
}

TEST_F(UpdateDeleteTest, UnrecognisedDataIsRefusedBeforeAnyRecord) {
  Seed("SOFTWARE\\T", "s", 1, std::string("old\0", 4));
  std::string before = Dump();
  for (bool noAction : {false, true}) {
    SCOPED_TRACE(noAction);
    settings_.noAction = noAction;
    OpenBackout();
    state_.lineNumber = 0;
    EXPECT_FALSE(Apply({"UPDATE:[HKLM\\SOFTWARE\\T]", "UPDATE:\"s\"=Bogus"}));
    EXPECT_EQ(output_.Take(),
              "***ERROR : Invalid Value - unrecognised data type\n"
              "***ERROR : [Line 2]:\"s\"=Bogus\n\n");
    EXPECT_EQ(BackoutText(), "DORVALEX\n");
    EXPECT_EQ(Dump(), before);
  }
}

TEST_F(UpdateDeleteTest, RootKeysAreNeverDeleted) {
  Seed("SOFTWARE\\T", "s", 1, std::string("old\0", 4));
  std::string before = Dump();
  OpenBackout();
  for (const char* root : {"HKLM\\", "hkey_local_machine\\", "HKCU\\", "HKCR\\", "HKEY_USERS\\"}) {
    SCOPED_TRACE(root);
    state_.lineNumber = 4;
    EXPECT_FALSE(Ops().DeleteKey(std::string("[") + root + "]\n"));
    EXPECT_EQ(output_.Take(), std::string("***ERROR : Invalid Key - a root key cannot be deleted\n"
                                          "***ERROR : [Line 4]:") +
                                  root + "\n");
  }
  EXPECT_EQ(BackoutText(), "DORVALEX\n");
  EXPECT_EQ(Dump(), before);
}

TEST_F(UpdateDeleteTest, DeleteUnderAMissingKeyChangesAndRecordsNothing) {
  std::string before = Dump();
  OpenBackout();
  settings_.quiet = false;
  EXPECT_TRUE(Apply({"DELETE:[HKLM\\SOFTWARE\\Gone]", "DELETE:\"v\"=", "DELETE:@"}));
  state_.currentKey = "HKLM\\SOFTWARE\\Never\\There";
  EXPECT_TRUE(Apply({"DELETE:\"w\"="}));
  EXPECT_EQ(BackoutText(), "DORVALEX\n");
  EXPECT_EQ(output_.Take(), "");
  EXPECT_EQ(Dump(), before);
}

TEST_F(UpdateDeleteTest, DeleteKeyKeepsASnapshotAndLaterValuesGetABlockOfTheirOwn) {
  Seed("SOFTWARE\\K", "", 1, std::string("top\0", 4));
  Seed("SOFTWARE\\K\\Sub", "p", 1, std::string("C:\\Temp\0", 8));
  OpenBackout();
  ASSERT_TRUE(Apply({"DELETE:[HKLM\\SOFTWARE\\K]", "UPDATE:\"v\"=\"new\""}));
  EXPECT_EQ(BackoutText(),
            "DORVALEX\n\nUPDATE:[HKLM\\SOFTWARE\\K]\nUPDATE:\"\"=\"top\"\n"
            "\nUPDATE:[HKLM\\SOFTWARE\\K\\Sub]\nUPDATE:\"p\"=\"C:\\\\Temp\"\n"
            "\nUPDATE:[HKLM\\SOFTWARE\\K]\nDELETE:\"v\"=\n");
  EXPECT_FALSE(KeyExists("SOFTWARE\\K\\Sub"));
}

TEST_F(UpdateDeleteTest, AValueLargerThanTheLineIsRecordedWhole) {
  std::string big(5000, 'z');
  big.push_back('\0');
  Seed("SOFTWARE\\T", "big", 1, big);
  OpenBackout();
  ASSERT_TRUE(Apply({"UPDATE:[HKLM\\SOFTWARE\\T]", "DELETE:\"big\"="}));
  EXPECT_EQ(BackoutText(), "DORVALEX\n\nUPDATE:[HKLM\\SOFTWARE\\T]\nUPDATE:\"big\"=\"" +
                               std::string(5000, 'z') + "\"\n");
  EXPECT_GE(state_.lineCapacity, 5001u);
}

// A record that cannot be written stops the line before its change, whatever the operation.
TEST_F(UpdateDeleteTest, NoChangeWithoutItsRecord) {
  Seed("SOFTWARE\\T", "s", 1, std::string("old\0", 4));
  Seed("SOFTWARE\\T\\Sub", "v", 1, std::string("x\0", 2));
  std::string before = Dump();
  const char* const lines[] = {"UPDATE:[HKLM\\SOFTWARE\\New]", "UPDATE:\"s\"=\"new\"",
                               "UPDATE:\"n\"=\"new\"", "DELETE:\"s\"=",
                               "DELETE:[HKLM\\SOFTWARE\\T\\Sub]"};
  for (const char* line : lines) {
    SCOPED_TRACE(line);
    ASSERT_TRUE(backout_.Create("/dev/full"));
    settings_.backoutOpen = true;
    state_.currentKey = "HKLM\\SOFTWARE\\T";
    state_.keyBackoutState = keyExisted;
    state_.blockHeaderWritten = false;
    EXPECT_FALSE(Apply({line}));
    EXPECT_EQ(output_.Take().substr(0, 45), "***ERROR : Unable to Write Backout File \"/dev");
    EXPECT_EQ(Dump(), before);
  }
}

}  // namespace
