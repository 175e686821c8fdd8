// Fuzzes the value data text codec: decodes the input as data text as it stands and as a value
// line's text after unescaping, and checks every decoded value's shape and that its record text
// reads back to the same type and bytes; also takes the input as raw value data of some type.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "report/report.h"
#include "script/script_state.h"
#include "script/unescape_line.h"
#include "script/value_text.h"

namespace {

class DiscardOutput final : public OutputSink {
 public:
  void Write(std::string_view) override {}
  void Flush() override {}
};

void Check(bool holds) {
  if (!holds) std::abort();
}

std::string_view Bytes(const ValueData& value) {
  return std::string_view(reinterpret_cast<const char*>(value.bytes.data()), value.bytes.size());
}

bool IsStringType(uint32_t type) {
  return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

// What a script line does to written text before it is decoded: the escapes removed. False for
// an orphaned backslash.
bool Unescape(std::string_view text, std::string* out) {
  ScriptState state;
  return UnescapeLine(text, 0, state, out) && !state.escapeError;
}

// Escaping only doubles backslashes and quotes (for the string types) and unescaping undoes it.
void CheckEscaping(std::string_view data, uint32_t type) {
  std::string escaped = EscapeValueData(data, type);
  if (!IsStringType(type)) {
    Check(escaped == data);
    return;
  }
  size_t added = 0;
  for (char c : data) added += c == '\\' || c == '"';
  Check(escaped.size() == data.size() + added);
  std::string unescaped;
  Check(Unescape(escaped, &unescaped));
  Check(unescaped == data);
}

// The hex form of any type and bytes reads back exactly, with the length its layout gives.
void CheckHexForm(uint32_t type, std::string_view data) {
  std::string text = FormatHexValueText(type, data);
  size_t prefix = type == kRegBinary ? 4 : FormatText("hex(%u):", type).size();
  Check(text.size() == prefix + (data.empty() ? 0 : 3 * data.size() - 1));
  ValueData back = ParseValueText(text);
  Check(back.recognised && back.type == type && Bytes(back) == data);
}

// The record text of a value: one line, free of orphaned backslashes, that reads back after
// unescaping to the very same value, and a fixed point of writing and reading.
void CheckRecordForm(uint32_t type, std::string_view data) {
  std::string record = FormatValueForRecord(type, data);
  Check(record.find('\n') == std::string::npos && record.find('\x1a') == std::string::npos);
  if (record.rfind("hex", 0) != 0) {
    // A readable form is the escaped data formatted.
    Check(record == FormatValueText(type, EscapeValueData(data, type)));
  }
  std::string unescaped;
  Check(Unescape(record, &unescaped));
  ValueData back = ParseValueText(unescaped);
  Check(back.recognised && back.type == type && Bytes(back) == data);
  Check(FormatValueForRecord(back.type, Bytes(back)) == record);
}

// The shape of every value decoded from `text`, and its record and hex forms. The hex forms
// carry any bytes of any type; the readable forms give values of their type's shape.
void CheckDecoded(std::string_view text) {
  ValueData value = ParseValueText(text);
  if (!value.recognised) {
    Check(value.type == kUnrecognisedType && value.bytes.empty());
    return;
  }
  std::string_view data = Bytes(value);
  // The readable forms are told by their first character, every other text is a hex form.
  const bool readableForm = std::string_view("\"EeDdMm").find(text[0]) != std::string_view::npos;
  switch (readableForm ? value.type : kRegNone) {
    case kRegSz:
    case kRegExpandSz:
      Check(!data.empty() && data.back() == '\0');
      break;
    case kRegDword:
      Check(data.size() == 4);
      Check(FormatValueText(kRegDword, data) ==
            FormatText("Dword:%08X", static_cast<uint32_t>(value.bytes[0]) |
                                         static_cast<uint32_t>(value.bytes[1]) << 8 |
                                         static_cast<uint32_t>(value.bytes[2]) << 16 |
                                         static_cast<uint32_t>(value.bytes[3]) << 24));
      break;
    case kRegMultiSz:
      // Ends with its first pair of NULs.
      Check(data.size() >= 2 && data.find(std::string_view("\0\0", 2)) == data.size() - 2);
      break;
    default:
      break;
  }
  CheckRecordForm(value.type, data);
  CheckHexForm(value.type, data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static DiscardOutput discard;
  SetOutputSink(&discard);
  std::string_view input(reinterpret_cast<const char*>(bytes), size);

  // Data text as the codec is given it, and a value line's data text as written in a script.
  CheckDecoded(input);
  std::string unescaped;
  if (Unescape(input, &unescaped)) CheckDecoded(unescaped);

  // The input as raw data of a type its first byte picks: the common types most of the time,
  // any 32-bit type number when the byte is 0xFF and four more follow.
  if (size == 0) return 0;
  uint32_t type = bytes[0] % 16;
  std::string_view data = input.substr(1);
  if (bytes[0] == 0xFF && size >= 5) {
    type = static_cast<uint32_t>(bytes[1]) | static_cast<uint32_t>(bytes[2]) << 8 |
           static_cast<uint32_t>(bytes[3]) << 16 | static_cast<uint32_t>(bytes[4]) << 24;
    data = input.substr(5);
  }
  CheckEscaping(data, type);
  CheckRecordForm(type, data);
  CheckHexForm(type, data);
  return 0;
}
