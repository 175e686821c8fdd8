// Tests of the multi-string edits: the list they read and write, the value they leave, the
// undo records they write and when, and their refusals.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "gtest/gtest.h"
#include "ops/multi_string_list.h"
#include "ops/operations.h"
#include "registry/backends/sqlite_registry.h"
#include "testing/capture_output.h"
#include "testing/registry_wrapper.h"

namespace {

using namespace std::string_literals;

TEST(StringListTest, ReadsAndWritesTheListForm) {
  struct Row {
    std::string data;
    StringList list;
    std::string rewritten;  // WriteStringList of the list read
  };
  const Row rows[] = {
      {"", {}, "\0"s},
      {"\0"s, {}, "\0"s},
      {"\0\0"s, {""}, "\0\0"s},
      {"\0\0\0abc\0\0"s, {""}, "\0\0"s},
      {"a\0b\0\0"s, {"a", "b"}, "a\0b\0\0"s},
      {"a\0b\0\0junk"s, {"a", "b"}, "a\0b\0\0"s},
      {"a\0\0b\0\0"s, {"a"}, "a\0\0"s},           // an empty string ends the list
      {"\0x\0\0"s, {"", "x"}, "\0x\0\0"s},        // but not as the first of two zero bytes
      {"a\0b\0"s, {"a", "b"}, "a\0b\0\0"s},       // unclosed list
      {"a\0bc"s, {"a", "bc"}, "a\0bc\0\0"s},      // unterminated last string kept
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.data));
    const StringList list = ReadStringList(row.data);
    EXPECT_EQ(list, row.list);
    EXPECT_EQ(WriteStringList(list), row.rewritten);
  }
}

TEST(StringListTest, ComparesAsciiLettersWithoutCase) {
  EXPECT_TRUE(StringsEqualIgnoringCase("Path", "pATH"));
  EXPECT_TRUE(StringsEqualIgnoringCase("", ""));
  EXPECT_FALSE(StringsEqualIgnoringCase("Path", "Paths"));
  EXPECT_FALSE(StringsEqualIgnoringCase("[", "{"));            // 0x5B and 0x7B are not letters
  EXPECT_FALSE(StringsEqualIgnoringCase("\xC4", "\xE4"));      // nor are bytes above 0x7F
}

// Refuses every value write when told to.
class RefusingRegistry final : public RegistryWrapper {
 public:
  using RegistryWrapper::RegistryWrapper;
  bool refuseSets = false;

  RegStatus RegSetValueExA(KeyHandle k, std::string_view n, uint32_t r, uint32_t t,
                           const uint8_t* d, uint32_t s) override {
    if (refuseSets) return kErrorAccessDenied;
    return inner_.RegSetValueExA(k, n, r, t, d, s);
  }
};

constexpr char kKey[] = "HKLM\\Software\\Edits";
constexpr char kHeader[] = "\nUPDATE:[HKLM\\Software\\Edits]\n";

enum class Op { kAppend, kPrepend, kRemove, kReplace };

class StringEditTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/dx-multi-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    store_ = OpenSqliteRegistry(dir_ + "/store.db");
    registry_ = std::make_unique<RefusingRegistry>(*store_);
    keys_ = std::make_unique<KeyAccess>(*registry_, state_);
    settings_.quiet = false;
    settings_.backoutOpen = true;
    state_.lineNumber = 7;
    state_.currentKey = kKey;
    state_.keyBackoutState = keyExisted;
    state_.blockHeaderWritten = false;
    ASSERT_TRUE(backout_.Create(dir_ + "/backout.txt"));
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  // A fresh store and backout file, for each row of a table.
  void Reset() {
    TearDown();
    SetUp();
  }

  // Creates the test key and, unless `data` is none, its value "v".
  void Store(std::optional<std::string> data, uint32_t type = kRegMultiSz,
             const std::string& name = "v") {
    KeyHandle key = kNoKey;
    ASSERT_EQ(store_->RegCreateKeyA(kHkeyLocalMachine, "Software\\Edits", &key), 0);
    if (data) {
      ASSERT_EQ(store_->RegSetValueExA(key, name, 0, type,
                                       reinterpret_cast<const uint8_t*>(data->data()),
                                       static_cast<uint32_t>(data->size())),
                0);
    }
    ASSERT_EQ(store_->RegCloseKey(key), 0);
  }

  // The bytes of value `name` (none when the value or its key is missing) and its type.
  std::optional<std::string> Stored(const std::string& name = "v", uint32_t* type = nullptr) {
    KeyHandle key = kNoKey;
    if (store_->RegOpenKeyA(kHkeyLocalMachine, "Software\\Edits", &key) != 0) return {};
    std::string data(4096, '\0');
    uint32_t size = static_cast<uint32_t>(data.size());
    uint32_t storedType = 0;
    const RegStatus status = store_->RegQueryValueExA(
        key, name, &storedType, reinterpret_cast<uint8_t*>(data.data()), &size);
    EXPECT_EQ(store_->RegCloseKey(key), 0);
    if (status != 0) return {};
    if (type != nullptr) *type = storedType;
    data.resize(size);
    return data;
  }

  bool KeyExists() {
    KeyHandle key = kNoKey;
    if (store_->RegOpenKeyA(kHkeyLocalMachine, "Software\\Edits", &key) != 0) return false;
    EXPECT_EQ(store_->RegCloseKey(key), 0);
    return true;
  }

  std::string Backout() {
    std::ifstream in(backout_.path(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  bool Run(Op op, const std::string& text) {
    Operations ops(settings_, state_, *keys_, backout_);
    switch (op) {
      case Op::kAppend: return ops.AppendString(text);
      case Op::kPrepend: return ops.PrependString(text);
      case Op::kRemove: return ops.RemoveString(text);
      case Op::kReplace: break;
    }
    return ops.ReplaceString(text);
  }

  std::string dir_;
  std::unique_ptr<RegistryService> store_;
  std::unique_ptr<RefusingRegistry> registry_;
  RunSettings settings_;
  ScriptState state_;
  std::unique_ptr<KeyAccess> keys_;
  BackoutFile backout_;
  CaptureOutput output_;
};

constexpr std::nullopt_t kAbsent = std::nullopt;

// One edit of a value "v" in an existing key: the value before, the value after, the records.
struct EditRow {
  const char* what;
  Op op;
  std::optional<std::string> before;
  std::string line;  // the line text after the operation word, unescaped
  std::optional<std::string> after;
  std::string records;  // after the block header; empty: no block at all
  std::string success;  // the label of the success line; empty: none
};

TEST_F(StringEditTest, EditsTheListAndRecordsTheirUndo) {
  const EditRow rows[] = {
      {"append adds at the end", Op::kAppend, "a\0b\0\0"s, "\"v\"=\"c\"\n", "a\0b\0c\0\0"s,
       "REMOVE:\"v\"=\"c\"\n", "APPEND : ["},
      {"append keeps a copy already there", Op::kAppend, "a\0\0"s, "\"v\"=\"A\"\n",
       "a\0A\0\0"s, "REMOVE:\"v\"=\"A\"\n", "APPEND : ["},
      {"append creates a missing value", Op::kAppend, kAbsent, "\"v\"=\"x\"\n", "x\0\0"s,
       "DELETE:\"v\"=\n", "APPEND : ["},
      {"append replaces the lone empty string", Op::kAppend, "\0\0"s, "\"v\"=\"x\"\n",
       "x\0\0"s, "REMOVE:\"v\"=\"x\"\n", "APPEND : ["},
      {"append to an empty list", Op::kAppend, "\0"s, "\"v\"=\"x\"\n", "x\0\0"s,
       "REMOVE:\"v\"=\"x\"\n", "APPEND : ["},
      {"append drops what follows an empty string", Op::kAppend, "a\0\0b\0\0"s,
       "\"v\"=\"x\"\n", "a\0x\0\0"s, "REMOVE:\"v\"=\"x\"\n", "APPEND : ["},
      {"append after Multi:", Op::kAppend, "a\0\0"s, "\"v\"=Multi:\"x\"\n", "a\0x\0\0"s,
       "REMOVE:\"v\"=\"x\"\n", "APPEND : ["},
      {"prepend adds at the front", Op::kPrepend, "a\0b\0\0"s, "\"v\"=\"x\"\n",
       "x\0a\0b\0\0"s, "REMOVE:\"v\"=\"x\"\n", "PREPEND: ["},
      {"prepend creates a missing value", Op::kPrepend, kAbsent, "\"v\"=\"x\"\n",
       "x\0\0\0"s, "DELETE:\"v\"=\n", "PREPEND: ["},
      {"prepend keeps the lone empty string", Op::kPrepend, "\0\0"s, "\"v\"=\"x\"\n",
       "x\0\0\0"s, "REMOVE:\"v\"=\"x\"\n", "PREPEND: ["},
      {"remove drops every copy", Op::kRemove, "a\0b\0A\0\0"s, "\"v\"=\"a\"\n", "b\0\0"s,
       "APPEND:\"v\"=\"a\"\n", "REMOVE : ["},
      {"remove records the operand as written", Op::kRemove, "Path\0\0"s,
       "\"v\"=\"pATH\"\n", "\0"s, "APPEND:\"v\"=\"pATH\"\n", "REMOVE : ["},
      {"remove of a string not held", Op::kRemove, "a\0b\0"s, "\"v\"=\"z\"\n", "a\0b\0\0"s,
       "", "REMOVE : ["},
      {"remove from the lone empty string", Op::kRemove, "\0\0"s, "\"v\"=\"a\"\n", "\0\0"s,
       "", "REMOVE : ["},
      {"remove of a missing value", Op::kRemove, kAbsent, "\"v\"=\"a\"\n", kAbsent, "", ""},
      {"replace changes every copy", Op::kReplace, "A\0b\0a\0\0"s, "\"v\"=\"a\",\"q\"\n",
       "q\0b\0q\0\0"s, "REPLACE:\"v\"=\"q\",\"a\"\n", "REPLACE: ["},
      {"replace without a match still records", Op::kReplace, "b\0\0"s,
       "\"v\"=\"a\",\"q\"\n", "b\0\0"s, "REPLACE:\"v\"=\"q\",\"a\"\n", "REPLACE: ["},
      {"replacement may hold commas", Op::kReplace, "a\0b\0\0"s, "\"v\"=\"a\",\"x,y\"\n",
       "x,y\0b\0\0"s, "UPDATE:\"v\"=Multi:\"a\",\"b\"\n", "REPLACE: ["},
      {"replace of a missing value", Op::kReplace, kAbsent, "\"v\"=\"a\",\"q\"\n", kAbsent,
       "", ""},
      {"replace of an empty search string", Op::kReplace, "\0\0"s, "\"v\"=\"\",\"q\"\n",
       "q\0\0"s, "REPLACE:\"v\"=\"q\",\"\"\n", "REPLACE: ["},
  };
  for (const EditRow& row : rows) {
    SCOPED_TRACE(row.what);
    Reset();
    Store(row.before);
    EXPECT_TRUE(Run(row.op, row.line));
    EXPECT_EQ(Stored(), row.after);
    EXPECT_EQ(Backout(), row.records.empty() ? "" : kHeader + row.records);
    EXPECT_EQ(output_.Take(), row.success.empty() ? "" : row.success + "7] Success - " + row.line);
  }
}

TEST_F(StringEditTest, RecordsCarryOperandsAndNamesExactly) {
  {
    SCOPED_TRACE("backslash and quote in the operand and the name");
    Store("a\0\0"s, kRegMultiSz, "n\"\\m");
    EXPECT_TRUE(Run(Op::kAppend, "\"n\"\\m\"=\"C:\\x\"y\"\n"));
    EXPECT_EQ(Stored("n\"\\m"), "a\0C:\\x\"y\0\0"s);
    EXPECT_EQ(Backout(), kHeader + "REMOVE:\"n\\\"\\\\m\"=\"C:\\\\x\\\"y\"\n"s);
  }
  {
    SCOPED_TRACE("both strings of a replacement");
    Reset();
    Store("C:\\old\0\0"s);
    EXPECT_TRUE(Run(Op::kReplace, "\"v\"=\"c:\\OLD\",\"say \"hi\"\"\n"));
    EXPECT_EQ(Stored(), "say \"hi\"\0\0"s);
    EXPECT_EQ(Backout(), kHeader + "REPLACE:\"v\"=\"say \\\"hi\\\"\",\"c:\\\\OLD\"\n"s);
  }
  {
    SCOPED_TRACE("the default value");
    Reset();
    Store("a\0\0"s, kRegMultiSz, "");
    EXPECT_TRUE(Run(Op::kRemove, "@=\"A\"\n"));
    EXPECT_TRUE(Run(Op::kPrepend, "@=\"b\"\n"));
    EXPECT_TRUE(Run(Op::kReplace, "@=\"b\",\"c\"\n"));
    EXPECT_EQ(Stored(""), "c\0\0"s);
    EXPECT_EQ(Backout(), kHeader + "APPEND:@=\"A\"\nREMOVE:@=\"b\"\nREPLACE:@=\"c\",\"b\"\n"s);
  }
}

TEST_F(StringEditTest, RefusesValuesOfOtherTypesAndBadParameters) {
  struct Row {
    Op op;
    std::string line;
    std::string message;
  };
  const Row rows[] = {
      {Op::kAppend, "\"v\"=\"x\"\n", "APPEND: Value Exists but is not a REG_MULTI_SZ"},
      {Op::kPrepend, "\"v\"=\"x\"\n", "PREPEND: Value Exists but is not a REG_MULTI_SZ"},
      {Op::kRemove, "\"v\"=\"x\"\n", "REMOVE: Value Exists but is not a REG_MULTI_SZ"},
      // the type is looked at before the parameters
      {Op::kReplace, "\"v\"=\"x\"\n", "REPLACE: Value Exists but is not a REG_MULTI_SZ"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    Reset();
    Store("x\0"s, kRegSz);
    EXPECT_FALSE(Run(row.op, row.line));
    uint32_t type = 0;
    EXPECT_EQ(Stored("v", &type), "x\0"s);
    EXPECT_EQ(type, kRegSz);
    EXPECT_EQ(Backout(), "");
    EXPECT_EQ(output_.Take(),
              "***ERROR : " + row.message + "\n***ERROR : [Line 7]:" + row.line + "\n");
  }
  for (const std::optional<std::string>& before : {std::optional<std::string>("a\0\0"s),
                                                   std::optional<std::string>()}) {
    for (const char* line : {"\"v\"=\"a\"\n", "\"v\"=\",a\"\n", "\"v\"=\"a,\"\n"}) {
      SCOPED_TRACE(std::string(line) + (before ? "present" : "absent"));
      Reset();
      Store(before);
      EXPECT_FALSE(Run(Op::kReplace, line));
      EXPECT_EQ(Stored(), before);
      EXPECT_EQ(Backout(), "");
      EXPECT_EQ(output_.Take(), "***ERROR : Invalid Search Replace Parameters\n"
                                "***ERROR : [Line 7]:" + std::string(line) + "\n");
    }
  }
}

TEST_F(StringEditTest, RemoveAndReplaceNeverCreateTheKey) {
  for (Op op : {Op::kRemove, Op::kReplace}) {
    Reset();
    EXPECT_TRUE(Run(op, "\"v\"=\"a\",\"b\"\n"));
    EXPECT_FALSE(KeyExists());
    EXPECT_EQ(Backout(), "");
    EXPECT_EQ(output_.Take(), "");
  }
  Reset();
  EXPECT_FALSE(Run(Op::kReplace, "\"v\"=\"a\"\n"));  // the parameter check still runs
  EXPECT_FALSE(KeyExists());
  Reset();
  EXPECT_TRUE(Run(Op::kAppend, "\"v\"=\"a\"\n"));  // APPEND creates key and value
  EXPECT_EQ(Stored(), "a\0\0"s);
}

TEST_F(StringEditTest, NoActionRunWritesTheRecordsAndChangesNothing) {
  settings_.noAction = true;
  Store("a\0b\0\0"s);
  EXPECT_TRUE(Run(Op::kAppend, "\"v\"=\"c\"\n"));
  EXPECT_TRUE(Run(Op::kRemove, "\"v\"=\"a\"\n"));
  EXPECT_TRUE(Run(Op::kReplace, "\"v\"=\"b\",\"d\"\n"));
  EXPECT_TRUE(Run(Op::kPrepend, "\"w\"=\"c\"\n"));
  EXPECT_EQ(Stored(), "a\0b\0\0"s);
  EXPECT_EQ(Stored("w"), std::nullopt);
  EXPECT_EQ(Backout(), kHeader +
                           "REMOVE:\"v\"=\"c\"\nAPPEND:\"v\"=\"a\"\nREPLACE:\"v\"=\"d\",\"b\"\n"
                           "DELETE:\"w\"=\n"s);
  // Of the four, only REMOVE prints its success line in a no-action run.
  EXPECT_EQ(output_.Take(), "REMOVE : [7] Success - \"v\"=\"a\"\n");

  Reset();
  settings_.noAction = true;  // a key that is not there reads as holding no values
  EXPECT_TRUE(Run(Op::kAppend, "\"v\"=\"c\"\n"));
  EXPECT_TRUE(Run(Op::kRemove, "\"v\"=\"c\"\n"));
  EXPECT_FALSE(KeyExists());
  EXPECT_EQ(Backout(), kHeader + "DELETE:\"v\"=\n"s);
}

TEST_F(StringEditTest, RecordsFollowTheJournalState) {
  {
    SCOPED_TRACE("with /CHANGES a new value gets no record; other records stay");
    settings_.changesOnly = true;
    Store("a\0\0"s);
    EXPECT_TRUE(Run(Op::kAppend, "\"new\"=\"x\"\n"));
    EXPECT_TRUE(Run(Op::kPrepend, "\"new2\"=\"x\"\n"));
    EXPECT_TRUE(Run(Op::kRemove, "\"v\"=\"a\"\n"));
    EXPECT_EQ(Backout(), kHeader + "APPEND:\"v\"=\"a\"\n"s);
  }
  {
    SCOPED_TRACE("a key the run created gets no records");
    Reset();
    state_.keyBackoutState = keyCreated;
    Store("a\0\0"s);
    EXPECT_TRUE(Run(Op::kAppend, "\"v\"=\"x\"\n"));
    EXPECT_TRUE(Run(Op::kRemove, "\"v\"=\"a\"\n"));
    EXPECT_TRUE(Run(Op::kReplace, "\"v\"=\"x\",\"y\"\n"));
    EXPECT_EQ(Stored(), "y\0\0"s);
    EXPECT_EQ(Backout(), "");
  }
  {
    SCOPED_TRACE("one header per key line");
    Reset();
    state_.blockHeaderWritten = true;
    Store("a\0\0"s);
    EXPECT_TRUE(Run(Op::kAppend, "\"v\"=\"x\"\n"));
    EXPECT_EQ(Backout(), "REMOVE:\"v\"=\"x\"\n");
  }
}

TEST_F(StringEditTest, FailedBackoutWriteStopsBeforeTheChange) {
  struct Row {
    Op op;
    std::string line;
  };
  const Row rows[] = {{Op::kAppend, "\"v\"=\"x\"\n"},
                      {Op::kPrepend, "\"v\"=\"x\"\n"},
                      {Op::kReplace, "\"v\"=\"a\",\"x\"\n"},
                      {Op::kAppend, "\"new\"=\"x\"\n"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    Reset();
    Store("a\0\0"s);
    ASSERT_TRUE(backout_.Create("/dev/full"));
    EXPECT_FALSE(Run(row.op, row.line));
    EXPECT_EQ(Stored(), "a\0\0"s);
    EXPECT_EQ(Stored("new"), std::nullopt);
    EXPECT_EQ(output_.Take(), "***ERROR : Unable to Write Backout File \"/dev/full\"\n");
  }
  // REMOVE records after its change: the change stays, and the run still stops.
  Reset();
  Store("a\0b\0\0"s);
  ASSERT_TRUE(backout_.Create("/dev/full"));
  EXPECT_FALSE(Run(Op::kRemove, "\"v\"=\"a\"\n"));
  EXPECT_EQ(Stored(), "b\0\0"s);
  EXPECT_EQ(output_.Take(), "***ERROR : Unable to Write Backout File \"/dev/full\"\n");
}

TEST_F(StringEditTest, RefusedSetStopsTheRun) {
  for (Op op : {Op::kAppend, Op::kRemove, Op::kReplace}) {
    Reset();
    Store("a\0\0"s);
    registry_->refuseSets = true;
    const std::string line = "\"v\"=\"a\",\"b\"\n";
    EXPECT_FALSE(Run(op, line));
    EXPECT_EQ(Stored(), "a\0\0"s);
    const std::string out = output_.Take();
    EXPECT_EQ(out.rfind("***ERROR : Unable to Create Value\n         : (5)", 0), 0u) << out;
    EXPECT_TRUE(out.ends_with("***ERROR : [Line 7]:" + line + "\n")) << out;
    // REMOVE leaves no record of a removal that did not happen; the others recorded first.
    EXPECT_EQ(Backout().empty(), op == Op::kRemove);
  }
}

}  // namespace
