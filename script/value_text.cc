// The value data text codec in both directions: escaping and formatting value data for a
// script line, and reading the data text of a value line back into a type and bytes.
#include "script/value_text.h"

#include <cstring>

#include "report/report.h"
#include "script/utf16.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// The value of each hex digit character; -1 for every other character.
struct HexDigitTable {
  int8_t value[256];
  constexpr HexDigitTable() : value() {
    for (int c = 0; c < 256; ++c) {
      value[c] = c >= '0' && c <= '9'   ? static_cast<int8_t>(c - '0')
                 : c >= 'A' && c <= 'F' ? static_cast<int8_t>(c - 'A' + 10)
                 : c >= 'a' && c <= 'f' ? static_cast<int8_t>(c - 'a' + 10)
                                        : int8_t{-1};
    }
  }
};
constexpr HexDigitTable kHexDigitValues;

int HexDigitValue(char c) { return kHexDigitValues.value[static_cast<unsigned char>(c)]; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

ValueData Unrecognised() { return ValueData{kUnrecognisedType, {}, false, false}; }
ValueData Unquoted() { return ValueData{kUnrecognisedType, {}, false, true}; }

// Each string of a multi-string text (split at every ",") ends with a double quote; the empty
// text is the empty list.
bool MultiStringsEndWithQuotes(std::string_view text) {
  if (text.empty()) return true;
  for (;;) {
    size_t comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    if (item.size() < 2 || item.back() != '"') return false;
    if (comma == std::string_view::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

// The string up to its first NUL.
std::string_view UpToNul(std::string_view data) {
  size_t nul = data.find('\0');
  return nul == std::string_view::npos ? data : data.substr(0, nul);
}

// The strings of a multi-string list, each quoted, separated by ","; the list ends at its first
// empty string (or at the end of the data).
void AppendMultiList(std::string_view list, std::string* out) {
  out->push_back('"');
  for (size_t i = 0; i < list.size(); ++i) {
    char c = list[i];
    if (c != '\0') {
      out->push_back(c);
      continue;
    }
    if (i + 1 >= list.size() || list[i + 1] == '\0') break;
    out->append("\",\"");
  }
  out->push_back('"');
}

void AppendHexBytes(std::string_view data, std::string* out) {
  out->reserve(out->size() + data.size() * 3);
  for (size_t i = 0; i < data.size(); ++i) {
    auto byte = static_cast<unsigned char>(data[i]);
    if (i != 0) out->push_back(',');
    out->push_back(kHexDigits[byte >> 4]);
    out->push_back(kHexDigits[byte & 15]);
  }
}

// Multi-string text to its list: quotes dropped wherever they stand, every "," a separator,
// ending at the first empty string with two NULs.
std::vector<uint8_t> ParseMultiList(std::string_view text) {
  std::vector<uint8_t> list;
  list.reserve(text.size() + 2);
  for (char c : text) {
    if (c == '"') continue;
    list.push_back(c == ',' ? 0 : static_cast<uint8_t>(c));
  }
  list.push_back(0);
  list.push_back(0);
  // Cut after the first pair of NULs, so that the list ends with exactly two.
  for (size_t i = 0; i + 1 < list.size(); ++i) {
    if (list[i] == 0 && list[i + 1] == 0) {
      list.resize(i + 2);
      break;
    }
  }
  return list;
}

// The string and its final NUL, in one allocation.
void AssignString(std::string_view string, std::vector<uint8_t>* bytes) {
  bytes->resize(string.size() + 1);  // the last byte is the NUL
  if (!string.empty()) std::memcpy(bytes->data(), string.data(), string.size());
}

// 1 to 8 hex digits, right-aligned, as 4 little-endian bytes. False for anything else.
bool ParseDwordText(std::string_view digits, std::vector<uint8_t>* bytes) {
  uint32_t value = 0;
  if (digits.empty() || digits.size() > 8) return false;
  for (char c : digits) {
    int digit = HexDigitValue(c);
    if (digit < 0) return false;
    value = (value << 4) | static_cast<uint32_t>(digit);
  }
  *bytes = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return true;
}

// A byte list "01,AB,ff": two hex digits per byte, blanks and tabs around a byte allowed, an
// empty text gives no bytes and one "," after the last byte is accepted. False for anything else.
bool ParseByteList(std::string_view text, std::vector<uint8_t>* bytes) {
  bytes->clear();
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  if (text.empty()) return true;
  if (text.back() == ',') {
    text.remove_suffix(1);
    if (text.empty()) return false;
  }
  // Each item: blanks, two digits, blanks, then "," or the end (a third character, a blank
  // between the digits or an empty item fails a test below).
  bytes->resize(text.size() / 3 + 1);
  uint8_t* out = bytes->data();
  const char* at = text.data();
  const char* const end = at + text.size();
  // Exports write "hh," after "hh,": such items are read in a tight loop, and the loop below
  // reads from the first other one on (blanks, a bad digit, the last item).
  while (end - at >= 3 && at[2] == ',') {
    int high = HexDigitValue(at[0]);
    int low = HexDigitValue(at[1]);
    if ((high | low) < 0) break;
    *out++ = static_cast<uint8_t>(high * 16 + low);
    at += 3;
  }
  for (;;) {
    while (at != end && IsBlank(*at)) ++at;
    if (end - at < 2) return false;
    int high = HexDigitValue(at[0]);
    int low = HexDigitValue(at[1]);
    if (high < 0 || low < 0) return false;
    *out++ = static_cast<uint8_t>(high * 16 + low);
    at += 2;
    while (at != end && IsBlank(*at)) ++at;
    if (at == end) break;
    if (*at++ != ',') return false;
  }
  bytes->resize(static_cast<size_t>(out - bytes->data()));
  return true;
}

// The type number between the parentheses of "hex(N):": decimal digits are decimal, as this
// tool writes them; a number holding a letter a-f is hexadecimal, as exports write them (all of
// a version 5 export's numbers are).
bool ParseTypeNumber(std::string_view text, bool hex, uint32_t* type) {
  if (text.empty()) return false;
  for (char c : text) {
    int digit = HexDigitValue(c);
    if (digit < 0) return false;
    if (digit > 9) hex = true;
  }
  uint64_t value = 0;
  for (char c : text) {
    value = value * (hex ? 16 : 10) + static_cast<uint64_t>(HexDigitValue(c));
    if (value > UINT32_MAX) return false;
  }
  *type = static_cast<uint32_t>(value);
  return true;
}

// Version 5 exports write the hex data of string types as UTF-16LE text.
bool NarrowUtf16Strings(ValueData* value) {
  if (value->type != kRegSz && value->type != kRegExpandSz && value->type != kRegMultiSz) {
    return true;
  }
  if (value->bytes.empty()) return true;
  std::string narrow;
  if (!AppendUtf16LeAsUtf8(value->bytes.data(), value->bytes.size(), &narrow)) return false;
  if (narrow.back() != '\0') narrow.push_back('\0');
  value->bytes.assign(narrow.begin(), narrow.end());
  return true;
}

}  // namespace

std::string EscapeValueData(std::string_view data, uint32_t type) {
  if (type != kRegSz && type != kRegExpandSz && type != kRegMultiSz) return std::string(data);
  std::string escaped;
  escaped.reserve(data.size() + 8);
  for (char c : data) {
    if (c == '\\' || c == '"') escaped.push_back('\\');
    escaped.push_back(c);
  }
  return escaped;
}

std::string FormatValueText(uint32_t type, std::string_view escapedData) {
  std::string text;
  switch (type) {
    case kRegSz:
      text.reserve(escapedData.size() + 2);
      text.push_back('"');
      text.append(UpToNul(escapedData));
      text.push_back('"');
      return text;
    case kRegExpandSz:
      text = "Expand:\"";
      text.append(UpToNul(escapedData));
      text.push_back('"');
      return text;
    case kRegDword: {
      uint32_t value = 0;
      for (size_t i = 0; i < 4 && i < escapedData.size(); ++i) {
        value |= static_cast<uint32_t>(static_cast<unsigned char>(escapedData[i])) << (8 * i);
      }
      return FormatText("Dword:%08X", value);
    }
    case kRegMultiSz:
      text.reserve(escapedData.size() + 9);
      text = "Multi:";
      AppendMultiList(escapedData, &text);
      return text;
    default:
      return FormatHexValueText(type, escapedData);
  }
}

std::string FormatHexValueText(uint32_t type, std::string_view data) {
  std::string text = type == kRegBinary ? std::string("hex:") : FormatText("hex(%u):", type);
  AppendHexBytes(data, &text);
  return text;
}

ValueData ParseValueText(std::string_view text, HexForm form) {
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  const size_t n = text.size();
  if (n == 0) return Unrecognised();
  ValueData value;
  switch (text[0]) {
    case '"': {
      if (n < 2 || text[n - 1] != '"') return Unquoted();
      value.type = kRegSz;
      AssignString(text.substr(1, n - 2), &value.bytes);
      return value;
    }
    case 'E':
    case 'e': {
      // "Expand:" is skipped by its length; the quotes around the string must be there.
      if (n < 9 || text[7] != '"' || text[n - 1] != '"') return Unquoted();
      value.type = kRegExpandSz;
      AssignString(text.substr(8, n - 9), &value.bytes);
      return value;
    }
    case 'D':
    case 'd':
      if (n < 6) return Unrecognised();
      value.type = kRegDword;
      if (!ParseDwordText(text.substr(6), &value.bytes)) return Unrecognised();
      return value;
    case 'M':
    case 'm':
      if (n < 6) return Unrecognised();
      if (!MultiStringsEndWithQuotes(text.substr(6))) return Unquoted();
      value.type = kRegMultiSz;
      value.bytes = ParseMultiList(text.substr(6));
      return value;
    default:
      break;
  }
  if (n < 4) return Unrecognised();
  size_t bytesStart;
  if (text[3] == ':') {
    value.type = kRegBinary;
    bytesStart = 4;
  } else if (text[3] == '(') {
    size_t close = text.find(')', 4);
    if (close == std::string_view::npos || close + 1 >= n || text[close + 1] != ':') {
      return Unrecognised();
    }
    if (!ParseTypeNumber(text.substr(4, close - 4), form == HexForm::kVersion5, &value.type)) {
      return Unrecognised();
    }
    bytesStart = close + 2;
  } else {
    return Unrecognised();
  }
  if (!ParseByteList(text.substr(bytesStart), &value.bytes)) return Unrecognised();
  if (form == HexForm::kVersion5 && !NarrowUtf16Strings(&value)) return Unrecognised();
  return value;
}
