// The data text of a backout or snapshot record: the readable form where it reads back to the
// very same value, the "hex(N):" form otherwise, so that no record loses or changes data.
#include <cstring>

#include "base/byte_scan.h"
#include "script/value_text.h"

namespace {

// What a byte means to the readable forms, one bit per role.
constexpr uint8_t kBackslash = 1;  // escaped in every quoted text
constexpr uint8_t kQuote = 2;      // escaped in a string; list syntax in a multi-string
constexpr uint8_t kBreak = 4;      // a line end splits the record line; Ctrl-Z ends the file
constexpr uint8_t kNul = 8;        // ends a string
constexpr uint8_t kComma = 16;     // list syntax in a multi-string
constexpr uint8_t kEscaped = kBackslash | kQuote;

struct ByteClasses {
  uint8_t of[256];
  constexpr ByteClasses() : of() {
    of[static_cast<unsigned char>('\\')] = kBackslash;
    of[static_cast<unsigned char>('"')] = kQuote;
    of[static_cast<unsigned char>('\n')] = kBreak;
    of[0x1a] = kBreak;
    of[0] = kNul;
    of[static_cast<unsigned char>(',')] = kComma;
  }
};
constexpr ByteClasses kClass;

// The place of the first of 16 bytes that has a class, 16 when none has.
unsigned FirstClassed(ByteLanes lanes) {
  return FirstHit((lanes == '\\') | (lanes == '"') | (lanes == '\n') | (lanes == 0x1a) |
                  (lanes == 0) | (lanes == ','));
}

// Appends the bytes from `at` up to the first one of a class in `stop` (or `end`), with a
// backslash before every backslash and double quote; gives where it stopped. The bytes are
// written straight into room made for them at the end of *out, sixteen at a time up to the
// next byte that has a class.
const char* AppendEscapedUntil(const char* at, const char* end, uint8_t stop, std::string* out) {
  const size_t start = out->size();
  // Every byte may need two, and each step may write 16 bytes past those it keeps.
  out->resize(start + 2 * static_cast<size_t>(end - at) + 16);
  char* to = out->data() + start;
  while (at < end) {
    const size_t left = static_cast<size_t>(end - at);
    const ByteLanes lanes = left < 16 ? LoadLastLanes(at, left) : LoadLanes(at);
    const size_t plain = FirstClassed(lanes);
    std::memcpy(to, &lanes, 16);
    if (plain >= left) {
      to += left;
      at = end;
      break;
    }
    to += plain;
    at += plain;
    if (plain == 16) continue;
    const uint8_t classes = kClass.of[static_cast<unsigned char>(*at)];
    if (classes & stop) break;
    if (classes & kEscaped) *to++ = '\\';
    *to++ = *at++;
  }
  out->resize(static_cast<size_t>(to - out->data()));
  return at;
}

void AppendEscaped(std::string_view text, std::string* out) {
  AppendEscapedUntil(text.data(), text.data() + text.size(), 0, out);
}

// "XX," for every byte value: one copy of three characters per byte.
struct HexTable {
  char text[256][3];
  constexpr HexTable() : text() {
    constexpr char kDigits[] = "0123456789ABCDEF";
    for (int byte = 0; byte < 256; ++byte) {
      text[byte][0] = kDigits[byte >> 4];
      text[byte][1] = kDigits[byte & 15];
      text[byte][2] = ',';
    }
  }
};
constexpr HexTable kHex;

void AppendDecimal(uint32_t number, std::string* out) {
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  while (count > 0) out->push_back(digits[--count]);
}

void AppendHex(uint32_t type, std::string_view data, std::string* out) {
  if (type == kRegBinary) {
    out->append("hex:");
  } else {
    out->append("hex(");
    AppendDecimal(type, out);
    out->append("):");
  }
  if (data.empty()) return;
  const size_t start = out->size();
  out->resize(start + data.size() * 3 - 1);
  char* at = out->data() + start;
  for (size_t i = 0; i + 1 < data.size(); ++i, at += 3) {
    std::memcpy(at, kHex.text[static_cast<unsigned char>(data[i])], 3);
  }
  std::memcpy(at, kHex.text[static_cast<unsigned char>(data.back())], 2);
}

// A string value reads back as the text between its quotes plus one NUL: it must end with its
// only NUL, and hold no line end or Ctrl-Z. False, with *out as on entry, when it does not.
bool AppendString(uint32_t type, std::string_view data, std::string* out) {
  if (data.empty() || data.back() != '\0') return false;
  const size_t start = out->size();
  out->append(type == kRegSz ? "\"" : "Expand:\"");
  const char* end = data.data() + data.size() - 1;
  if (AppendEscapedUntil(data.data(), end, kNul | kBreak, out) != end) {
    out->resize(start);
    return false;
  }
  out->push_back('"');
  return true;
}

// A multi-string list reads back with every "," and quote taken as list syntax and the list
// ending at its first empty string: non-empty strings free of both, closed by two NULs. The
// empty list is the two NULs alone. False, with *out as on entry, for any other list.
bool AppendMultiString(std::string_view data, std::string* out) {
  if (data.size() < 2 || data[data.size() - 1] != '\0' || data[data.size() - 2] != '\0') {
    return false;
  }
  const size_t start = out->size();
  out->append("Multi:\"");
  const char* at = data.data();
  const char* const end = at + data.size() - 2;  // the strings, each but the last with its NUL
  while (at < end) {
    const char* stop = AppendEscapedUntil(at, end, kNul | kBreak | kQuote | kComma, out);
    // Only a NUL may end a string, and only one that a non-empty string follows.
    if (stop == at || (stop < end && (*stop != '\0' || stop + 1 == end))) {
      out->resize(start);
      return false;
    }
    if (stop < end) out->append("\",\"");
    at = stop + 1;
  }
  out->push_back('"');
  return true;
}

void AppendDword(std::string_view data, std::string* out) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) {
    value |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
  }
  char text[] = "Dword:00000000";
  for (int digit = 0; digit < 8; ++digit) {
    text[13 - digit] = kHex.text[(value >> (4 * digit)) & 15][1];
  }
  out->append(text, 14);
}

}  // namespace

// Readable forms are written straight from the data in one pass that also checks that they
// read back to the very same value; a form found not to is taken back and the hex form written.
void AppendValueForRecord(uint32_t type, std::string_view data, std::string* out) {
  switch (type) {
    case kRegSz:
    case kRegExpandSz:
      if (AppendString(type, data, out)) return;
      break;
    case kRegDword:
      if (data.size() == 4) return AppendDword(data, out);
      break;
    case kRegMultiSz:
      if (AppendMultiString(data, out)) return;
      break;
    default:
      break;  // the hex forms themselves
  }
  AppendHex(type, data, out);
}

void AppendEscapedValueName(std::string_view name, std::string* out) { AppendEscaped(name, out); }

std::string FormatValueForRecord(uint32_t type, std::string_view data) {
  std::string text;
  AppendValueForRecord(type, data, &text);
  return text;
}
