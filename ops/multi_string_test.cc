// Tests of the multi-string edits: the list they read and write, the value they leave, the
// undo records they write (the value's whole old state, before the change), and their refusals.
#include <cstring>
#include <optional>
#include <string>

#include "ops/operations.h"
#include "testing/fault_registry.h"
#include "testing/store_fixture.h"

namespace {

using namespace std::string_literals;

// The backout file holding `records` in the block of the test key; nothing when empty.
std::string Records(const std::string& records) {
  return "DORVALEX\n" + (records.empty() ? "" : "\nUPDATE:[HKLM\\Software\\Edits]\n" + records);
}

// An edit and the start of its success line.
struct Edit { bool (Operations::*op)(std::string_view); const char* label; };
const Edit kAppend{&Operations::AppendString, "APPEND : ["},
    kPrepend{&Operations::PrependString, "PREPEND: ["},
    kRemove{&Operations::RemoveString, "REMOVE : ["},
    kReplace{&Operations::ReplaceString, "REPLACE: ["};

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
    state_ = {.lineNumber = 7, .currentKey = "HKLM\\Software\\Edits",
              .keyBackoutState = keyExisted};
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
  bool Run(const Edit& edit, const std::string& text) {
    Operations ops(settings_, state_, *keys_, backout_);
    return (ops.*edit.op)(text);
  }

  std::unique_ptr<FaultRegistry> fault_;
};

TEST_F(StringEditTest, EditsTheListAndRecordsTheirUndo) {
  // operand: what follows "v"= on the line; records: after the block header (none: no block)
  struct Row { Edit edit; std::optional<std::string> before; std::string operand;
               std::optional<std::string> after; std::string records; };
  const Row rows[] = {
      {kAppend, "\0\0"s, "\"x\"", "x\0\0"s, "UPDATE:\"v\"=Multi:\"\"\n"},  // a lone "" goes
      {kAppend, "a\0\0b\0\0"s, "Multi:\"x\"", "a\0x\0\0"s,
       "UPDATE:\"v\"=hex(7):61,00,00,62,00,00\n"},
      {kAppend, std::nullopt, "\"x\"", "x\0\0"s, "DELETE:\"v\"=\n"},
      {kRemove, "a\0b\0A\0\0"s, "\"a\"", "b\0\0"s, "UPDATE:\"v\"=Multi:\"a\",\"b\",\"A\"\n"},
      {kRemove, "a\0b\0"s, "\"z\"", "a\0b\0\0"s, "UPDATE:\"v\"=hex(7):61,00,62,00\n"},
      {kRemove, "[\0\0"s, "\"{\"", "[\0\0"s, "UPDATE:\"v\"=Multi:\"[\"\n"},  // '[' is not '{'
      {kReplace, "A\0b\0a\0\0"s, "\"a\",\"q\"", "q\0b\0q\0\0"s,
       "UPDATE:\"v\"=Multi:\"A\",\"b\",\"a\"\n"},
      {kReplace, "a\0b\0\0"s, "\"a\",\"x,y\"", "x,y\0b\0\0"s, "UPDATE:\"v\"=Multi:\"a\",\"b\"\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.operand);
    Start(row.before);
    EXPECT_TRUE(Run(row.edit, "\"v\"=" + row.operand + "\n"));
    EXPECT_EQ(Stored(), row.after);
    EXPECT_EQ(BackoutText(), Records(row.records));
    EXPECT_EQ(output_.Take(), row.edit.label + "7] Success - \"v\"="s + row.operand + "\n");
  }
}

TEST_F(StringEditTest, ChangesOnlyAndNoActionRuns) {
  // /CHANGES: a value that the edit creates gets no DELETE record.
  Start(std::nullopt);
  settings_.changesOnly = true;
  EXPECT_TRUE(Run(kAppend, "\"v\"=\"x\"\n"));
  EXPECT_EQ(BackoutText(), Records(""));
  // /NOACTION: the same records as a real run, nothing stored; only REMOVE prints success.
  Start("a\0\0"s);
  settings_.noAction = true;
  EXPECT_TRUE(Run(kAppend, "\"v\"=\"x\"\n"));
  EXPECT_TRUE(Run(kRemove, "\"v\"=\"a\"\n"));
  EXPECT_EQ(Stored(), "a\0\0"s);
  EXPECT_EQ(BackoutText(), Records("UPDATE:\"v\"=Multi:\"a\"\nUPDATE:\"v\"=Multi:\"a\"\n"));
  EXPECT_EQ(output_.Take(), "REMOVE : [7] Success - \"v\"=\"a\"\n");
}

TEST_F(StringEditTest, RefusesValuesOfOtherTypesAndBadParameters) {
  Start("x\0"s, kRegSz);
  for (const Edit& edit : {kAppend, kPrepend, kRemove, kReplace}) {
    const std::string word(edit.label, strcspn(edit.label, " :"));
    EXPECT_FALSE(Run(edit, "\"v\"=\"x\"\n"));  // the type is looked at before the parameters
    EXPECT_EQ(output_.Take(), "***ERROR : " + word + ": Value Exists but is not a REG_MULTI_SZ\n"
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
  Start(std::nullopt);
  ASSERT_EQ(registry_->RegDeleteKeyA(kHkeyLocalMachine, "Software\\Edits"), 0);
  EXPECT_TRUE(Run(kRemove, "\"v\"=\"a\"\n"));
  EXPECT_TRUE(Run(kReplace, "\"v\"=\"a\",\"b\"\n"));
  EXPECT_EQ(output_.Take(), "");
  EXPECT_FALSE(Run(kReplace, "\"v\"=\"a\"\n"));  // the parameter check still runs
  EXPECT_FALSE(KeyExists("Software\\Edits"));
  EXPECT_EQ(BackoutText(), Records(""));
  // A key that is there but may not be changed is a failure, not a missing key.
  for (const Edit& edit : {kRemove, kReplace}) {
    Start("a\0\0"s);
    fault_->FailCall(RegCall::kOpenEx, kErrorAccessDenied, "Software\\Edits");
    fault_->FailCall(RegCall::kCreate, kErrorAccessDenied, "Software\\Edits");
    EXPECT_FALSE(Run(edit, "\"v\"=\"a\",\"b\"\n"));
    EXPECT_EQ(output_.Take(), "***ERROR : Unable to Create Registry Key\n         : (5)Access is "
                              "denied.\n***ERROR : [Line 7]:HKLM\\Software\\Edits\n");
    EXPECT_EQ(Stored(), "a\0\0"s);
  }
}

// The record goes first: a failed write stops the line before its change, and a refused change
// leaves a record that puts back the state the value still has.
TEST_F(StringEditTest, FailedWritesLeaveRecordAndValueInStep) {
  const std::pair<Edit, const char*> rows[] = {
      {kAppend, "\"v\"=\"x\"\n"}, {kReplace, "\"v\"=\"a\",\"x\"\n"},
      {kAppend, "\"new\"=\"x\"\n"}, {kRemove, "\"v\"=\"a\"\n"}};
  for (auto [edit, line] : rows) {
    SCOPED_TRACE(line);
    Start("a\0b\0\0"s);
    ASSERT_TRUE(backout_.Create("/dev/full", true));
    EXPECT_FALSE(Run(edit, line));
    EXPECT_EQ(Stored(), "a\0b\0\0"s);
    EXPECT_EQ(Stored("new"), std::nullopt);
    EXPECT_EQ(output_.Take(), "***ERROR : Unable to Write Backout File \"/dev/full\"\n");
  }
  Start("a\0\0"s);
  fault_->FailCall(RegCall::kSetValue, kErrorAccessDenied);
  EXPECT_FALSE(Run(kRemove, "\"v\"=\"a\"\n"));
  EXPECT_EQ(Stored(), "a\0\0"s);
  EXPECT_EQ(BackoutText(), Records("UPDATE:\"v\"=Multi:\"a\"\n"));
}

}  // namespace
