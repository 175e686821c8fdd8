// The value data text codec: registry value data (type and bytes) to the one-line text after
// the "=" of a value line ("Dword:0000001F", "Multi:\"a\",\"b\"", "hex:01,02") and back.
#ifndef DORVALEX_SCRIPT_VALUE_TEXT_H_
#define DORVALEX_SCRIPT_VALUE_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// kUnrecognisedType (255), the type ParseValueText gives for data text in none of the forms,
// is defined with the other type numbers.
#include "registry/win32_codes.h"

struct ValueData {
  uint32_t type = 0;  // kUnrecognisedType (255), without bytes, for text in none of the forms
  std::vector<uint8_t> bytes;
  // False for text in none of the forms. A stored value may itself have type 255 ("hex(255):"),
  // so the type alone does not tell.
  bool recognised = true;
  // Not recognised because a string form lacks a double quote where its form needs one.
  bool unquoted = false;
};

// How "hex(N):" texts are read. kScript: N is decimal unless it holds a letter a-f, and the
// bytes are stored as written. kVersion5: as version 5 exports write them, N is hexadecimal and
// the bytes of the string types (1, 2, 7) are UTF-16LE text, turned into UTF-8 with a final NUL
// supplied when it is missing (text that is not UTF-16 is not recognised).
enum class HexForm { kScript, kVersion5 };

// A backslash before every backslash and double quote for the string types (1, 2, 7); other
// types are copied unchanged. Value names are escaped as type 1.
std::string EscapeValueData(std::string_view data, uint32_t type);

// The text form of already escaped data.
std::string FormatValueText(uint32_t type, std::string_view escapedData);

// The hex form of any value: "hex:" for REG_BINARY, "hex(N):" with the decimal type number for
// every other type, then the bytes as upper-case hex pairs separated by ",".
std::string FormatHexValueText(uint32_t type, std::string_view data);

// Unescaped data text to type and bytes. Blanks and tabs after the data are dropped. A string
// form must be closed by a double quote (each string of a multi-string: end with one) and a
// DWORD needs 1 to 8 hex digits; otherwise the text is not recognised.
ValueData ParseValueText(std::string_view text, HexForm form = HexForm::kScript);

// The text with which a backout record or snapshot writes a value: escaped and formatted in
// its readable form when that form reads back to exactly the same type and bytes, otherwise
// "hex(%d):" with the type number and the bytes.
std::string FormatValueForRecord(uint32_t type, std::string_view data);
// The same text appended to `out`: for writers of many records, which reuse one buffer.
void AppendValueForRecord(uint32_t type, std::string_view data, std::string* out);
// The same text written to `to`, which has room for ValueForRecordRoom(data.size()) bytes
// (more than the text takes); gives the end of the text.
char* WriteValueForRecord(uint32_t type, std::string_view data, char* to);
constexpr size_t ValueForRecordRoom(size_t dataSize) { return 3 * dataSize + 32; }

// A value name escaped for writing between double quotes.
inline std::string EscapeValueName(std::string_view name) { return EscapeValueData(name, 1); }
// The escaped name appended to `out`.
void AppendEscapedValueName(std::string_view name, std::string* out);
// The escaped name written to `to`, which has room for EscapedValueNameRoom(name.size())
// bytes; gives its end.
char* WriteEscapedValueName(std::string_view name, char* to);
constexpr size_t EscapedValueNameRoom(size_t nameSize) { return 2 * nameSize + 16; }

#endif  // DORVALEX_SCRIPT_VALUE_TEXT_H_
