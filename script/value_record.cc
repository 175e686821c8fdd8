// The data text of a backout or snapshot record: the readable form where it reads back to the
// very same value, the "hex(N):" form otherwise, so that no record loses or changes data.
#include <cstring>

#include "script/value_text.h"

namespace {

// A line end would split the record line and Ctrl-Z ends the script file where it stands.
bool BreaksRecordLine(char c) { return c == '\n' || c == '\x1a'; }

// A string value reads back as the text between its quotes plus one NUL: it must end with its
// only NUL.
bool StringIsReadable(std::string_view data) {
  if (data.empty() || data.back() != '\0') return false;
  const size_t text = data.size() - 1;
  for (char c : {'\0', '\n', '\x1a'}) {
    if (std::memchr(data.data(), c, text)) return false;
  }
  return true;
}

// The first `c` in [at, end), or end.
const char* FindChar(const char* at, const char* end, char c) {
  const void* found = std::memchr(at, c, static_cast<size_t>(end - at));
  return found ? static_cast<const char*>(found) : end;
}

// A multi-string list reads back with every "," and quote taken as list syntax and the list
// ending at its first empty string: non-empty strings free of both, closed by two NULs. The
// empty list is the two NULs alone.
bool MultiStringIsReadable(std::string_view data) {
  if (data.size() < 2 || data[data.size() - 1] != '\0' || data[data.size() - 2] != '\0') {
    return false;
  }
  if (data.size() == 2) return true;
  if (data[0] == '\0') return false;
  for (size_t i = 0; i + 2 < data.size(); ++i) {
    char c = data[i];
    if (c == '"' || c == ',' || BreaksRecordLine(c)) return false;
    if (c == '\0' && data[i + 1] == '\0') return false;  // an inner empty string
  }
  return true;
}

bool IsReadable(uint32_t type, std::string_view data) {
  switch (type) {
    case kRegSz:
    case kRegExpandSz:
      return StringIsReadable(data);
    case kRegDword:
      return data.size() == 4;
    case kRegMultiSz:
      return MultiStringIsReadable(data);
    default:
      return false;  // the hex forms themselves
  }
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

// A backslash before every backslash and double quote; the next of each is looked for only
// once the last one is passed.
void AppendEscaped(std::string_view text, std::string* out) {
  const char* at = text.data();
  const char* const end = at + text.size();
  const char* slash = FindChar(at, end, '\\');
  const char* quote = FindChar(at, end, '"');
  for (;;) {
    const char* next = slash < quote ? slash : quote;
    if (next == end) break;
    out->append(at, next).push_back('\\');
    out->push_back(*next);
    at = next + 1;
    if (next == slash)
      slash = FindChar(at, end, '\\');
    else
      quote = FindChar(at, end, '"');
  }
  out->append(at, end);
}

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

}  // namespace

// Readable forms are written straight from the data: the same text that escaping the data and
// formatting the escaped copy gives, without the copies.
void AppendValueForRecord(uint32_t type, std::string_view data, std::string* out) {
  if (!IsReadable(type, data)) return AppendHex(type, data, out);
  switch (type) {
    case kRegSz:
    case kRegExpandSz:
      out->append(type == kRegSz ? "\"" : "Expand:\"");
      AppendEscaped(data.substr(0, data.size() - 1), out);  // the text before its only NUL
      out->push_back('"');
      return;
    case kRegDword: {
      uint32_t value = 0;
      for (size_t i = 0; i < 4; ++i) {
        value |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
      }
      char text[] = "Dword:00000000";
      for (int digit = 0; digit < 8; ++digit) {
        text[13 - digit] = kHex.text[(value >> (4 * digit)) & 15][1];
      }
      out->append(text, 14);
      return;
    }
    default: {  // kRegMultiSz: strings without quotes or commas, ending with two NULs
      out->append("Multi:\"");
      std::string_view strings = data.substr(0, data.size() - 2);
      size_t start = 0;
      for (size_t end; (end = strings.find('\0', start)) != std::string_view::npos;
           start = end + 1) {
        AppendEscaped(strings.substr(start, end - start), out);
        out->append("\",\"");
      }
      AppendEscaped(strings.substr(start), out);
      out->push_back('"');
      return;
    }
  }
}

void AppendEscapedValueName(std::string_view name, std::string* out) { AppendEscaped(name, out); }

std::string FormatValueForRecord(uint32_t type, std::string_view data) {
  std::string text;
  AppendValueForRecord(type, data, &text);
  return text;
}
