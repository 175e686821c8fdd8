// The value data text codec: each form read and written, unrecognised text, and record texts
// that read back through a script to the very same value.
#include "script/value_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "script/line_helpers.h"
#include "script/script_reader.h"
#include "script/script_state.h"
#include "testing/capture_output.h"

namespace {

using namespace std::string_literals;

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

// Type and bytes rendered as one text, so a table row compares in one assertion.
std::string Render(const ValueData& value) {
  std::string text = std::to_string(value.type) + ":";
  for (uint8_t byte : value.bytes) text += FormatText(" %02X", byte);
  return text;
}

TEST(ValueTextTest, ParsesEachForm) {
  struct Row {
    std::string text;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"\"abc\"", "1: 61 62 63 00"},
      {"\"\"", "1: 00"},
      {"\"a\" ", "1: 61 22 00"},  // only the last character is dropped
      {"\"a\"b\"", "1: 61 22 62 00"},
      {"Expand:\"%P%\"", "2: 25 50 25 00"},
      {"expand:\"\"", "2: 00"},
      {"Dword:0000001F", "4: 1F 00 00 00"},
      {"dword:1f", "4: 1F 00 00 00"},
      {"Dword:1F", "4: 1F 00 00 00"},
      {"Dword:12345678", "4: 78 56 34 12"},
      {"Dword:123456789", "4: 00 00 00 00"},
      {"Dword:", "4: 00 00 00 00"},
      {"Multi:\"a\",\"bc\",\"d\"", "7: 61 00 62 63 00 64 00 00"},
      {"Multi:\"\"", "7: 00 00"},
      {"Multi:", "7: 00 00"},
      {"Multi:\"a\", \"b\"", "7: 61 00 20 62 00 00"},
      {"multi:\"a,b\"", "7: 61 00 62 00 00"},
      {"Multi:\"a\",\"\",\"b\"", "7: 61 00 00"},
      {"hex:", "3:"},
      {"hex:01,ab,FF", "3: 01 AB FF"},
      {"hex:01, ab,\tff ", "3: 01 AB FF"},
      {"hex:01,02,", "3: 01 02"},
      {"hex(0):", "0:"},
      {"hex(7):61,00,00,00", "7: 61 00 00 00"},
      {"hex(11):01,02,03,04,05,06,07,08", "11: 01 02 03 04 05 06 07 08"},
      {"hex(b):01", "11: 01"},
      {"hex(B):01", "11: 01"},
      {"hex(1a):", "26:"},
      {"hex(10):", "10:"},
      {"hex(4294967295):", "4294967295:"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Render(ParseValueText(row.text)), row.expected) << row.text;
  }
}

TEST(ValueTextTest, UnrecognisedTextGivesTypeWithoutBytes) {
  const std::vector<std::string> texts = {
      "",        "-",          "\"",           "Expand:\"",   "Dwor",        "Dword:12G4",
      "Mult",    "abc",        "hexx01",       "12345",       "hex(",        "hex()",
      "hex()01", "hex(1x):00",   "hex(-1):",    "hex(1)01",    "hex(1",
      "hex(4294967296):",      "hex:1",        "hex:123",     "hex:0g",      "hex:01,,02",
      "hex:,",   "hex:01 02",  "hex:01,2",     "hex(2):zz",
  };
  for (const std::string& text : texts) {
    ValueData value = ParseValueText(text);
    EXPECT_FALSE(value.recognised) << text;
    EXPECT_EQ(value.type, kUnrecognisedType) << text;
    EXPECT_TRUE(value.bytes.empty()) << text;
  }
  // A stored value of type 255 is written in its hex form and must read back as such.
  for (const char* text : {"hex(255):01", "hex(ff):01"}) {
    ValueData value = ParseValueText(text);
    EXPECT_TRUE(value.recognised) << text;
    EXPECT_EQ(value.type, 255u) << text;
    EXPECT_EQ(value.bytes, std::vector<uint8_t>{1}) << text;
  }
}

TEST(ValueTextTest, EscapesOnlyStringTypes) {
  EXPECT_EQ(EscapeValueData("a\\b\"c", 1), "a\\\\b\\\"c");
  EXPECT_EQ(EscapeValueData("\\", 2), "\\\\");
  EXPECT_EQ(EscapeValueData("a\"\0b\\"s, 7), "a\\\"\0b\\\\"s);
  EXPECT_EQ(EscapeValueData("a\\\"", 3), "a\\\"");
  EXPECT_EQ(EscapeValueData("", 1), "");
  EXPECT_EQ(EscapeValueName("x\"y"), "x\\\"y");
}

TEST(ValueTextTest, FormatsEachForm) {
  EXPECT_EQ(FormatValueText(1, "abc\0"s), "\"abc\"");
  EXPECT_EQ(FormatValueText(1, "ab\0cd\0"s), "\"ab\"");
  EXPECT_EQ(FormatValueText(2, "%P%\0"s), "Expand:\"%P%\"");
  EXPECT_EQ(FormatValueText(4, "\x1f\0\0\0"s), "Dword:0000001F");
  EXPECT_EQ(FormatValueText(4, "\x78\x56\x34\x12"s), "Dword:12345678");
  EXPECT_EQ(FormatValueText(4, "\x01"s), "Dword:00000001");  // short data reads no further
  EXPECT_EQ(FormatValueText(7, "a\0bc\0\0"s), "Multi:\"a\",\"bc\"");
  EXPECT_EQ(FormatValueText(7, "\0\0"s), "Multi:\"\"");
  EXPECT_EQ(FormatValueText(7, "a\0\0b\0\0"s), "Multi:\"a\"");
  EXPECT_EQ(FormatValueText(7, "a\0b"s), "Multi:\"a\",\"b\"");  // no terminator: ends at the end
  EXPECT_EQ(FormatValueText(7, ""), "Multi:\"\"");
  EXPECT_EQ(FormatValueText(3, ""), "hex:");
  EXPECT_EQ(FormatValueText(3, "\x01\xab\xff"s), "hex:01,AB,FF");
  EXPECT_EQ(FormatValueText(11, "\x01\x02"s), "hex(11):01,02");
  EXPECT_EQ(FormatValueText(0, ""), "hex(0):");
  EXPECT_EQ(FormatHexValueText(1, "a\0"s), "hex(1):61,00");
  EXPECT_EQ(FormatHexValueText(3, "a"), "hex:61");
}

// What a record writes must read back through a script file to the same type and bytes.
ValueData ReadBackThroughScript(const std::string& dataText) {
  class Capture final : public OperationHandlers {
   public:
    explicit Capture(ScriptState& state) : state_(state) {}
    bool UpdateKey(std::string_view text) override { return SetCurrentKey(text, state_); }
    bool UpdateValue(std::string_view text) override {
      ++calls;
      text.remove_prefix(text.find('=') + 1);
      text.remove_suffix(1);
      value = ParseValueText(text);
      return true;
    }
    bool DeleteKey(std::string_view) override { return true; }
    bool DeleteValue(std::string_view) override { return true; }
    bool AppendString(std::string_view) override { return true; }
    bool PrependString(std::string_view) override { return true; }
    bool RemoveString(std::string_view) override { return true; }
    bool ReplaceString(std::string_view) override { return true; }
    ValueData value{kUnrecognisedType, {}};
    int calls = 0;

   private:
    ScriptState& state_;
  };
  ScriptState state;
  Capture capture(state);
  std::string script = "DORVALEX\r\nUPDATE:[HKLM\\K]\r\nUPDATE:@=" + dataText + "\r\n";
  std::FILE* file = fmemopen(script.data(), script.size(), "rb");
  EXPECT_TRUE(ReadScriptStream(file, "record", state, capture));
  std::fclose(file);
  EXPECT_FALSE(state.escapeError) << dataText;
  EXPECT_EQ(capture.calls, 1) << dataText;
  return capture.value;
}

TEST(ValueTextTest, RecordFormIsReadableOnlyWhenItReadsBackExactly) {
  struct Row {
    uint32_t type;
    std::string data;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {1, "C:\\a \"b\"\0"s, "\"C:\\\\a \\\"b\\\"\""},
      {1, "\0"s, "\"\""},
      {1, "ab"s, "hex(1):61,62"},            // no terminating NUL
      {1, "a\0b\0"s, "hex(1):61,00,62,00"},  // inner NUL
      {1, ""s, "hex(1):"},
      {1, "a\nb\0"s, "hex(1):61,0A,62,00"},  // a line end would split the record
      {1, "a\x1a\0"s, "hex(1):61,1A,00"},    // Ctrl-Z would end the file
      {1, "a\r\0"s, "\"a\r\""},
      {2, "%P%\\x\0"s, "Expand:\"%P%\\\\x\""},
      {2, "x"s, "hex(2):78"},
      {4, "\x1f\0\0\0"s, "Dword:0000001F"},
      {4, "\x1f\0\0"s, "hex(4):1F,00,00"},
      {4, "\x1f\0\0\0\0"s, "hex(4):1F,00,00,00,00"},
      {7, "a\0b\\c\0\0"s, "Multi:\"a\",\"b\\\\c\""},
      {7, "\0\0"s, "Multi:\"\""},
      {7, "a,b\0\0"s, "hex(7):61,2C,62,00,00"},
      {7, "a\"\0\0"s, "hex(7):61,22,00,00"},
      {7, "a\0\0b\0\0"s, "hex(7):61,00,00,62,00,00"},
      {7, "a\0"s, "hex(7):61,00"},
      {7, "\0"s, "hex(7):00"},
      {7, ""s, "hex(7):"},
      {7, "\0a\0\0"s, "hex(7):00,61,00,00"},
      {7, "a\0\0\0"s, "hex(7):61,00,00,00"},
      {3, ""s, "hex:"},
      {3, "\x00\xff"s, "hex:00,FF"},
      {0, "\x01"s, "hex(0):01"},
      {11, "\x01\x02\x03\x04\x05\x06\x07\x08"s, "hex(11):01,02,03,04,05,06,07,08"},
      {26, "z"s, "hex(26):7A"},
  };
  for (const Row& row : rows) {
    std::string text = FormatValueForRecord(row.type, row.data);
    EXPECT_EQ(text, row.expected) << row.type;
    ValueData back = ReadBackThroughScript(text);
    EXPECT_EQ(back.type, row.type) << text;
    EXPECT_EQ(back.bytes, Bytes(row.data)) << text;
  }
}

TEST(ValueTextTest, EveryByteOfAStringSurvivesTheRecord) {
  for (int byte = 1; byte < 256; ++byte) {
    std::string data = "x" + std::string(1, static_cast<char>(byte)) + "y" + "\0"s;
    for (uint32_t type : {1u, 2u}) {
      ValueData back = ReadBackThroughScript(FormatValueForRecord(type, data));
      EXPECT_EQ(back.type, type) << byte;
      EXPECT_EQ(back.bytes, Bytes(data)) << byte;
    }
    std::string list = data + "z" + "\0\0"s;
    ValueData back = ReadBackThroughScript(FormatValueForRecord(7, list));
    EXPECT_EQ(back.type, 7u) << byte;
    EXPECT_EQ(back.bytes, Bytes(list)) << byte;
  }
}

}  // namespace
