// Tests of the multi-string edits: the list they read and write, the value they leave, the
// undo records they write and when, and their refusals.
#include <optional>
#include <string>

#include "ops/multi_string_list.h"
#include "ops/operations.h"
#include "testing/fault_registry.h"
#include "testing/store_fixture.h"

namespace {

using namespace std::string_literals;

// The list rules the edits below do not show: an empty string first, a last one unclosed.
TEST(StringListTest, ReadsAndWritesTheListForm) {
  EXPECT_EQ(ReadStringList(""), StringList{});
  EXPECT_EQ(ReadStringList("\0x\0\0"s), (StringList{"", "x"}));
  EXPECT_EQ(ReadStringList("\0\0\0abc\0\0"s), StringList{""});
  EXPECT_EQ(WriteStringList(ReadStringList("a\0bc"s)), "a\0bc\0\0"s);
  EXPECT_EQ(WriteStringList({}), "\0"s);
  EXPECT_FALSE(StringsEqualIgnoringCase("[", "{"));        // 0x5B and 0x7B are not letters
  EXPECT_FALSE(StringsEqualIgnoringCase("\xC4", "\xE4"));  // nor are bytes above 0x7F
}

// The backout file holding `records` in the block of the test key; nothing when empty.
std::string Records(const std::string& records) {
  return "DORVALEX\n" + (records.empty() ? "" : "\nUPDATE:[HKLM\\Software\\Edits]\n" + records);
}

using Op = bool (Operations::*)(std::string_view);
constexpr Op kAppend = &Operations::AppendString, kPrepend = &Operations::PrependString,
             kRemove = &Operations::RemoveString, kReplace = &Operations::ReplaceString;

class StringEditTest : public dx_testing::StoreFixture {
 protected:
  // A fresh store and backout file, the current key HKLM\Software\Edits as it stood before
  // the run, and value "v" in it holding `before` unless that is none.
  void Start(std::optional<std::string> before, uint32_t type = kRegMultiSz) {
    TearDown();
    SetUp();
    fault_ = std::make_unique<FaultRegistry>(*registry_);
    keys_ = std::make_unique<KeyAccess>(*fault_, state_);
    settings_ = RunSettings();
    settings_.quiet = false;
    state_ = ScriptState();
    state_.lineNumber = 7;
    state_.currentKey = "HKLM\\Software\\Edits";
    state_.keyBackoutState = keyExisted;
    OpenBackout();
    output_.Take();
    SeedKey("Software\\Edits");
    if (before) Seed("Software\\Edits", "v", type, *before);
  }
  // The data of value `name`; none when the value or its key is missing.
  std::optional<std::string> Stored(const std::string& name = "v") {
    KeyHandle key = kNoKey;
    if (registry_->RegOpenKeyA(kHkeyLocalMachine, "Software\\Edits", &key) != 0) return {};
    std::string data(4096, '\0');
    uint32_t size = static_cast<uint32_t>(data.size()), type = 0;
    const RegStatus status = registry_->RegQueryValueExA(
        key, name, &type, reinterpret_cast<uint8_t*>(data.data()), &size);
    registry_->RegCloseKey(key);
    return status == 0 ? std::optional(data.substr(0, size)) : std::nullopt;
  }
  bool Run(Op op, const std::string& text) {
    Operations ops(settings_, state_, *keys_, backout_);
    return (ops.*op)(text);
  }

  std::unique_ptr<FaultRegistry> fault_;
};

constexpr std::nullopt_t kAbsent = std::nullopt;

TEST_F(StringEditTest, EditsTheListAndRecordsTheirUndo) {
  struct Row {
    const char* what;
    Op op;
    std::optional<std::string> before;
    std::string line;  // the line text after the operation word, unescaped
    std::optional<std::string> after;
    std::string records;  // after the block header; empty: no block at all
    std::string success;  // the label of the success line; empty: none
  };
  const Row rows[] = {
      {"append keeps a copy already there", kAppend, "a\0\0"s, "\"v\"=\"A\"\n",
       "a\0A\0\0"s, "REMOVE:\"v\"=\"A\"\n", "APPEND : ["},
      {"append creates a missing value", kAppend, kAbsent, "\"v\"=\"x\"\n", "x\0\0"s,
       "DELETE:\"v\"=\n", "APPEND : ["},
      {"append replaces the lone empty string", kAppend, "\0\0"s, "\"v\"=\"x\"\n",
       "x\0\0"s, "REMOVE:\"v\"=\"x\"\n", "APPEND : ["},
      {"append drops what follows an empty string", kAppend, "a\0\0b\0\0"s,
       "\"v\"=Multi:\"x\"\n", "a\0x\0\0"s, "REMOVE:\"v\"=\"x\"\n", "APPEND : ["},
      {"prepend creates a missing value", kPrepend, kAbsent, "\"v\"=\"x\"\n",
       "x\0\0\0"s, "DELETE:\"v\"=\n", "PREPEND: ["},
      {"prepend keeps the lone empty string", kPrepend, "\0\0"s, "\"v\"=\"x\"\n",
       "x\0\0\0"s, "REMOVE:\"v\"=\"x\"\n", "PREPEND: ["},
      {"remove drops every copy", kRemove, "a\0b\0A\0\0"s, "\"v\"=\"a\"\n", "b\0\0"s,
       "APPEND:\"v\"=\"a\"\n", "REMOVE : ["},
      {"remove records the operand as written", kRemove, "Path\0\0"s,
       "\"v\"=\"pATH\"\n", "\0"s, "APPEND:\"v\"=\"pATH\"\n", "REMOVE : ["},
      {"remove of a string not held", kRemove, "a\0b\0"s, "\"v\"=\"z\"\n", "a\0b\0\0"s,
       "", "REMOVE : ["},
      {"replace changes every copy", kReplace, "A\0b\0a\0\0"s, "\"v\"=\"a\",\"q\"\n",
       "q\0b\0q\0\0"s, "REPLACE:\"v\"=\"q\",\"a\"\n", "REPLACE: ["},
      {"replace without a match still records", kReplace, "b\0\0"s,
       "\"v\"=\"a\",\"q\"\n", "b\0\0"s, "REPLACE:\"v\"=\"q\",\"a\"\n", "REPLACE: ["},
      {"replacement may hold commas", kReplace, "a\0b\0\0"s, "\"v\"=\"a\",\"x,y\"\n",
       "x,y\0b\0\0"s, "UPDATE:\"v\"=Multi:\"a\",\"b\"\n", "REPLACE: ["},
      {"replace of an empty search string", kReplace, "\0\0"s, "\"v\"=\"\",\"q\"\n",
       "q\0\0"s, "REPLACE:\"v\"=\"q\",\"\"\n", "REPLACE: ["},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Start(row.before);
    EXPECT_TRUE(Run(row.op, row.line));
    EXPECT_EQ(Stored(), row.after);
    EXPECT_EQ(BackoutText(), Records(row.records));
    EXPECT_EQ(output_.Take(), row.success.empty() ? "" : row.success + "7] Success - " + row.line);
  }
}

TEST_F(StringEditTest, RecordsCarryOperandsAndNamesEscaped) {
  Start("C:\\old\0\0"s);
  Seed("Software\\Edits", "n\"\\m", kRegMultiSz, "a\0\0"s);
  Seed("Software\\Edits", "", kRegMultiSz, "a\0\0"s);
  EXPECT_TRUE(Run(kAppend, "\"n\"\\m\"=\"C:\\x\"y\"\n"));
  EXPECT_TRUE(Run(kReplace, "\"v\"=\"c:\\OLD\",\"say \"hi\"\"\n"));
  EXPECT_TRUE(Run(kRemove, "@=\"A\"\n"));
  EXPECT_TRUE(Run(kPrepend, "@=\"b\"\n"));
  EXPECT_EQ(Stored("n\"\\m"), "a\0C:\\x\"y\0\0"s);
  EXPECT_EQ(Stored(), "say \"hi\"\0\0"s);
  EXPECT_EQ(BackoutText(), Records("REMOVE:\"n\\\"\\\\m\"=\"C:\\\\x\\\"y\"\n"
                                   "REPLACE:\"v\"=\"say \\\"hi\\\"\",\"c:\\\\OLD\"\n"
                                   "APPEND:@=\"A\"\nREMOVE:@=\"b\"\n"));
}

TEST_F(StringEditTest, RefusesValuesOfOtherTypesAndBadParameters) {
  Start("x\0"s, kRegSz);
  for (auto [op, word] : {std::pair{kAppend, "APPEND"}, {kPrepend, "PREPEND"},
                          {kRemove, "REMOVE"}, {kReplace, "REPLACE"}}) {
    EXPECT_FALSE(Run(op, "\"v\"=\"x\"\n"));  // the type is looked at before the parameters
    EXPECT_EQ(output_.Take(), "***ERROR : "s + word + ": Value Exists but is not a REG_MULTI_SZ\n"
                              "***ERROR : [Line 7]:\"v\"=\"x\"\n\n");
  }
  EXPECT_EQ(Stored(), "x\0"s);
  Seed("Software\\Edits", "v", kRegMultiSz, "a\0\0"s);
  for (const char* line : {"\"v\"=\"a\"\n", "\"v\"=\",a\"\n", "\"v\"=\"a,\"\n"}) {
    EXPECT_FALSE(Run(kReplace, line));
    EXPECT_EQ(output_.Take(), "***ERROR : Invalid Search Replace Parameters\n"
                              "***ERROR : [Line 7]:" + std::string(line) + "\n");
  }
  EXPECT_EQ(Stored(), "a\0\0"s);
  EXPECT_EQ(BackoutText(), Records(""));
}

TEST_F(StringEditTest, RemoveAndReplaceUnderAMissingKeyCreateNothing) {
  Start(kAbsent);
  ASSERT_EQ(registry_->RegDeleteKeyA(kHkeyLocalMachine, "Software\\Edits"), 0);
  EXPECT_TRUE(Run(kRemove, "\"v\"=\"a\"\n"));
  EXPECT_TRUE(Run(kReplace, "\"v\"=\"a\",\"b\"\n"));
  EXPECT_EQ(output_.Take(), "");
  EXPECT_FALSE(Run(kReplace, "\"v\"=\"a\"\n"));  // the parameter check still runs
  EXPECT_FALSE(KeyExists("Software\\Edits"));
  EXPECT_EQ(BackoutText(), Records(""));
  // A key that is there but may not be changed is a failure, not a missing key.
  for (Op op : {kRemove, kReplace}) {
    Start("a\0\0"s);
    fault_->FailCall(RegCall::kOpenEx, kErrorAccessDenied, "Software\\Edits");
    fault_->FailCall(RegCall::kCreate, kErrorAccessDenied, "Software\\Edits");
    EXPECT_FALSE(Run(op, "\"v\"=\"a\",\"b\"\n"));
    EXPECT_EQ(output_.Take(), "***ERROR : Unable to Create Registry Key\n         : (5)Access is "
                              "denied.\n***ERROR : [Line 7]:HKLM\\Software\\Edits\n");
    EXPECT_EQ(Stored(), "a\0\0"s);
  }
}

TEST_F(StringEditTest, RecordsFollowTheRunSettingsAndTheKeyState) {
  // A no-action run records all and changes nothing.
  Start("a\0b\0\0"s);
  settings_.noAction = true;
  EXPECT_TRUE(Run(kAppend, "\"v\"=\"c\"\n"));
  EXPECT_TRUE(Run(kRemove, "\"v\"=\"a\"\n"));
  EXPECT_TRUE(Run(kReplace, "\"v\"=\"b\",\"d\"\n"));
  EXPECT_TRUE(Run(kPrepend, "\"w\"=\"c\"\n"));
  EXPECT_EQ(Stored(), "a\0b\0\0"s);
  EXPECT_EQ(Stored("w"), kAbsent);
  EXPECT_EQ(BackoutText(), Records("REMOVE:\"v\"=\"c\"\nAPPEND:\"v\"=\"a\"\n"
                                   "REPLACE:\"v\"=\"d\",\"b\"\nDELETE:\"w\"=\n"));
  // Of the four, only REMOVE prints its success line in a no-action run.
  EXPECT_EQ(output_.Take(), "REMOVE : [7] Success - \"v\"=\"a\"\n");
  // With /CHANGES a new value gets no record; other records stay.
  Start("a\0\0"s);
  settings_.changesOnly = true;
  EXPECT_TRUE(Run(kAppend, "\"new\"=\"x\"\n"));
  EXPECT_TRUE(Run(kPrepend, "\"new2\"=\"x\"\n"));
  EXPECT_TRUE(Run(kRemove, "\"v\"=\"a\"\n"));
  EXPECT_EQ(BackoutText(), Records("APPEND:\"v\"=\"a\"\n"));
  // A key the run created gets no records.
  Start("a\0\0"s);
  state_.keyBackoutState = keyCreated;
  EXPECT_TRUE(Run(kAppend, "\"v\"=\"x\"\n"));
  EXPECT_TRUE(Run(kRemove, "\"v\"=\"a\"\n"));
  EXPECT_TRUE(Run(kReplace, "\"v\"=\"x\",\"y\"\n"));
  EXPECT_EQ(Stored(), "y\0\0"s);
  EXPECT_EQ(BackoutText(), Records(""));
}

// The record goes first: a failed write stops the line before its change. REMOVE records
// after its change (an undo of nothing is never written), so there the change stays.
TEST_F(StringEditTest, FailedBackoutWriteStopsBeforeTheChange) {
  const std::pair<Op, const char*> rows[] = {
      {kAppend, "\"v\"=\"x\"\n"},      {kPrepend, "\"v\"=\"x\"\n"},
      {kReplace, "\"v\"=\"a\",\"x\"\n"}, {kAppend, "\"new\"=\"x\"\n"},
      {kRemove, "\"v\"=\"a\"\n"}};
  for (auto [op, line] : rows) {
    SCOPED_TRACE(line);
    Start("a\0b\0\0"s);
    ASSERT_TRUE(backout_.Create("/dev/full"));
    EXPECT_FALSE(Run(op, line));
    EXPECT_EQ(Stored(), op == kRemove ? "b\0\0"s : "a\0b\0\0"s);
    EXPECT_EQ(Stored("new"), kAbsent);
    EXPECT_EQ(output_.Take(), "***ERROR : Unable to Write Backout File \"/dev/full\"\n");
  }
}

TEST_F(StringEditTest, RefusedSetStopsTheRun) {
  for (Op op : {kAppend, kRemove, kReplace}) {
    Start("a\0\0"s);
    fault_->FailCall(RegCall::kSetValue, kErrorAccessDenied);
    EXPECT_FALSE(Run(op, "\"v\"=\"a\",\"b\"\n"));
    EXPECT_EQ(Stored(), "a\0\0"s);
    EXPECT_TRUE(output_.Take().starts_with("***ERROR : Unable to Create Value\n         : (5)"));
    // REMOVE leaves no record of a removal that did not happen; the others recorded first.
    EXPECT_EQ(BackoutText() == Records(""), op == kRemove);
  }
}

}  // namespace
