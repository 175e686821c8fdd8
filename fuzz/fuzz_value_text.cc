// Fuzzes the value data text codec: decodes the input as data text as it stands and as a value
// line's text after unescaping, and checks that every decoded value's record and hex texts read
// back to the same type and bytes; also takes the input as raw value data of some type.
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

// What a script line does to written text before it is decoded: the escapes removed. False for
// an orphaned backslash.
bool Unescape(std::string_view text, std::string* out) {
  ScriptState state;
  return UnescapeLine(text, 0, state, out) && !state.escapeError;
}

// Any type and bytes: escaped string data unescapes back to them; the hex text reads back to
// them; the record text is one line that, unescaped, reads back to them and is written alike.
void CheckReadBack(uint32_t type, std::string_view data) {
  std::string text;
  if (type == kRegSz || type == kRegExpandSz || type == kRegMultiSz) {
    Check(Unescape(EscapeValueData(data, type), &text) && text == data);
  }
  ValueData back = ParseValueText(FormatHexValueText(type, data));
  Check(back.recognised && back.type == type && Bytes(back) == data);

  std::string record = FormatValueForRecord(type, data);
  Check(record.find('\n') == std::string::npos && record.find('\x1a') == std::string::npos);
  Check(Unescape(record, &text));
  back = ParseValueText(text);
  Check(back.recognised && back.type == type && Bytes(back) == data);
  Check(FormatValueForRecord(back.type, Bytes(back)) == record);
}

void CheckDecoded(std::string_view text) {
  for (HexForm form : {HexForm::kScript, HexForm::kVersion5}) {
    ValueData value = ParseValueText(text, form);
    if (value.recognised) CheckReadBack(value.type, Bytes(value));
  }
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
  CheckReadBack(type, data);
  return 0;
}
