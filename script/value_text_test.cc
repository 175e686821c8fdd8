// The value data text codec: each form read and written, unrecognised text, and the record
// texts (that they read back to the same value: the round-trip test and the fuzzer).
#include "script/value_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/report.h"
#include "script/line_helpers.h"

namespace {

using namespace std::string_literals;

// Type and bytes rendered as one text, so a table row compares in one assertion.
std::string Render(const ValueData& value) {
  std::string text = std::to_string(value.type) + ":";
  for (uint8_t byte : value.bytes) text += FormatText(" %02X", byte);
  return text;
}

TEST(ValueTextTest, ParsesEachForm) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"\"a\"\" \t", "1: 61 22 00"},  // blanks after the closing quote are dropped
      {"dword:1f ", "4: 1F 00 00 00"},
      {"Multi:\"a\", \"b\"", "7: 61 00 20 62 00 00"},
      {"Multi:\"a\",\"\",\"b\"", "7: 61 00 00"},
      {"hex:01, ab,\tff ", "3: 01 AB FF"},
      {"hex(b):01", "11: 01"},
      {"hex(4294967295):", "4294967295:"},
      {"hex(ff):01", "255: 01"},  // a stored type 255 reads back as such
  };
  for (const auto& [text, expected] : rows) {
    const ValueData value = ParseValueText(text);
    EXPECT_EQ(Render(value), expected) << text;
    EXPECT_TRUE(value.recognised) << text;
  }
  for (const char* text : {"", "Dword:12G4", "Dword:123456789", "Dword:", "Mult", "hex()", "hex(1x):00",
                           "hex(-1):", "hex(1)01", "hex(4294967296):", "hex:1", "hex:01,,02",
                           "hex:,", "hex:01 02", "hex(2):zz"}) {
    const ValueData value = ParseValueText(text);
    EXPECT_FALSE(value.recognised) << text;
    EXPECT_EQ(Render(value), "255:") << text;
  }
  for (const char* text : {"\"", "\"a", "\"a\" x", "Expand:\"", "Expand:\"a", "Expand:a\"",
                           "Multi:\"a\",\"b", "Multi:\"a,b\"", "Multi:\"a\","}) {
    EXPECT_TRUE(ParseValueText(text).unquoted) << text;
  }
  // Version 5 exports: hex(N) numbers in hex; string data UTF-16LE, a final NUL supplied.
  const std::vector<std::pair<std::string, std::string>> exported = {
      {"hex(10):01", "16: 01"},
      {"hex(2):41,00,e9,00,3d,d8,00,de", "2: 41 C3 A9 F0 9F 98 80 00"},
      {"hex(7):61,00,00,00,00,00", "7: 61 00 00"},
      {"hex(1):", "1:"},
      {"hex(1):41,00,00", "255:"},
      {"hex(1):00,dc", "255:"},
  };
  for (const auto& [text, expected] : exported) {
    EXPECT_EQ(Render(ParseValueText(text, HexForm::kVersion5)), expected) << text;
  }
}

TEST(ValueTextTest, RecordFormIsReadableOnlyWhenItReadsBackExactly) {
  struct Row {
    uint32_t type;
    std::string data, expected;
  };
  const std::vector<Row> rows = {
      {1, "C:\\a \"b\"\0"s, "\"C:\\\\a \\\"b\\\"\""},
      {1, "ab"s, "hex(1):61,62"},            // no terminating NUL
      {1, "a\0b\0"s, "hex(1):61,00,62,00"},  // inner NUL
      {1, ""s, "hex(1):"},
      {2, "%P%\\x\0"s, "Expand:\"%P%\\\\x\""},
      {4, "\x1f\0\0\0"s, "Dword:0000001F"},
      {4, "\x1f\0\0"s, "hex(4):1F,00,00"},
      {7, "a\0b\\c\0\0"s, "Multi:\"a\",\"b\\\\c\""},
      {7, "a,b\0\0"s, "hex(7):61,2C,62,00,00"},
      {7, "a\0\0b\0\0"s, "hex(7):61,00,00,62,00,00"},
      {7, ""s, "hex(7):"},
      {7, "\0a\0\0"s, "hex(7):00,61,00,00"},
      {3, "\x00\xff"s, "hex:00,FF"},
      {11, "\x01\x02\x03\x04\x05\x06\x07\x08"s, "hex(11):01,02,03,04,05,06,07,08"},
      {255, "\x01"s, "hex(255):01"},
      {1, "x\ny\0"s, "hex(1):78,0A,79,00"},  // a line feed or Ctrl-Z would break the line
      {7, "\x1a\0\0"s, "hex(7):1A,00,00"},
      // Found unreadable after part was written: the hex form alone is kept.
      {7, "\0\0"s, "Multi:\"\""},
      {7, "a\\\0\0\0"s, "hex(7):61,5C,00,00,00"},  // an empty last string
      {7, "a\\\0b\"\0\0"s, "hex(7):61,5C,00,62,22,00,00"},
      {1, "a\\\"\x1a\0"s, "hex(1):61,5C,22,1A,00"},
  };
  for (const Row& row : rows) {
    const std::string text = FormatValueForRecord(row.type, row.data);
    EXPECT_EQ(text, row.expected) << row.type;
    std::string appended = "=";  // written after what a record buffer already holds
    AppendValueForRecord(row.type, row.data, &appended);
    EXPECT_EQ(appended, "=" + row.expected);
    // Where the readable form is chosen (or none exists), it is the codec's own text form.
    const bool stringOrDword = row.type == 1 || row.type == 2 || row.type == 4 || row.type == 7;
    if (!stringOrDword || !text.starts_with("hex")) {
      EXPECT_EQ(FormatValueText(row.type, EscapeValueData(row.data, row.type)), text);
    }
  }
}

}  // namespace
