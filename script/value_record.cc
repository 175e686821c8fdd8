// The data text of a backout or snapshot record: the readable form where it reads back to the
// very same value, the "hex(N):" form otherwise, so that no record loses or changes data.
#include <bit>
#include <cstdint>
#include <cstring>

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

// Sixteen bytes as one vector of the compiler's (SSE2 on x86-64): comparing it with a byte
// gives lanes of 0xFF where they are equal and 0 elsewhere. The escaping below copies such
// blocks whole, so it works on the block itself rather than on a position (FindFirstOf).
using ByteLanes = unsigned char __attribute__((vector_size(16)));

// The `count` bytes at `at` (16, or fewer followed by blanks, which have no class).
ByteLanes LoadLanes(const char* at, size_t count) {
  ByteLanes lanes;
  if (count >= sizeof lanes) {
    std::memcpy(&lanes, at, sizeof lanes);
  } else {
    char bytes[sizeof lanes];
    std::memset(bytes, ' ', sizeof bytes);
    if (count > 0) std::memcpy(bytes, at, count);
    std::memcpy(&lanes, bytes, sizeof lanes);
  }
  return lanes;
}

// The place (0-15) of the first of the block's bytes that has a class, 16 when none has.
unsigned FirstClassed(ByteLanes lanes) {
  const ByteLanes hits = (lanes == '\\') | (lanes == '"') | (lanes == '\n') | (lanes == 0x1a) |
                         (lanes == 0) | (lanes == ',');
  uint64_t half[2];
  std::memcpy(half, &hits, sizeof half);
  const bool little = std::endian::native == std::endian::little;
  for (unsigned i = 0; i < 2; ++i) {
    if (half[i] != 0) {
      return 8 * i + (little ? std::countr_zero(half[i]) : std::countl_zero(half[i])) / 8;
    }
  }
  return 16;
}

// Writes the bytes from *at up to the first one of a class in `stop` (or `end`) to `to`, with
// a backslash before every backslash and double quote, sixteen at a time up to the next byte
// that has a class. *at is left where it stopped; gives the end of what was written. Room:
// two bytes for each byte read, and 16 more (each step may write 16 bytes past those it keeps).
char* WriteEscapedUntil(const char** at, const char* end, uint8_t stop, char* to) {
  const char* from = *at;
  while (from < end) {
    const size_t left = static_cast<size_t>(end - from);
    const ByteLanes lanes = LoadLanes(from, left);
    const size_t plain = FirstClassed(lanes);
    std::memcpy(to, &lanes, 16);
    if (plain >= left) {
      to += left;
      from = end;
      break;
    }
    to += plain;
    from += plain;
    if (plain == 16) continue;
    const uint8_t classes = kClass.of[static_cast<unsigned char>(*from)];
    if (classes & stop) break;
    if (classes & kEscaped) *to++ = '\\';
    *to++ = *from++;
  }
  *at = from;
  return to;
}

char* WriteText(std::string_view text, char* to) {
  std::memcpy(to, text.data(), text.size());
  return to + text.size();
}

// "XX," for every byte value, in four bytes: one four-byte copy per byte, of which the
// fourth is written over by the next byte's text (the room holds one byte more).
struct HexTable {
  char text[256][4];
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

char* WriteDecimal(uint32_t number, char* to) {
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  while (count > 0) *to++ = digits[--count];
  return to;
}

char* WriteHex(uint32_t type, std::string_view data, char* to) {
  if (type == kRegBinary) {
    to = WriteText("hex:", to);
  } else {
    to = WriteDecimal(type, WriteText("hex(", to));
    to = WriteText("):", to);
  }
  if (data.empty()) return to;
  for (size_t i = 0; i + 1 < data.size(); ++i, to += 3) {
    std::memcpy(to, kHex.text[static_cast<unsigned char>(data[i])], 4);
  }
  std::memcpy(to, kHex.text[static_cast<unsigned char>(data.back())], 2);
  return to + 2;
}

// A string value reads back as the text between its quotes plus one NUL: it must end with its
// only NUL, and hold no line end or Ctrl-Z. Null when it does not.
char* WriteString(uint32_t type, std::string_view data, char* to) {
  if (data.empty() || data.back() != '\0') return nullptr;
  to = WriteText(type == kRegSz ? "\"" : "Expand:\"", to);
  const char* at = data.data();
  const char* end = at + data.size() - 1;
  to = WriteEscapedUntil(&at, end, kNul | kBreak, to);
  if (at != end) return nullptr;
  *to++ = '"';
  return to;
}

// A multi-string list reads back with every "," and quote taken as list syntax and the list
// ending at its first empty string: non-empty strings free of both, closed by two NULs. The
// empty list is the two NULs alone. Null for any other list.
char* WriteMultiString(std::string_view data, char* to) {
  if (data.size() < 2 || data[data.size() - 1] != '\0' || data[data.size() - 2] != '\0') {
    return nullptr;
  }
  to = WriteText("Multi:\"", to);
  const char* at = data.data();
  const char* const end = at + data.size() - 2;  // the strings, each but the last with its NUL
  while (at < end) {
    const char* string = at;
    to = WriteEscapedUntil(&at, end, kNul | kBreak | kQuote | kComma, to);
    // Only a NUL may end a string, and only one that a non-empty string follows.
    if (at == string || (at < end && (*at != '\0' || at + 1 == end))) return nullptr;
    if (at < end) to = WriteText("\",\"", to);
    ++at;
  }
  *to++ = '"';
  return to;
}

char* WriteDword(std::string_view data, char* to) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) {
    value |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
  }
  char text[] = "Dword:00000000";
  for (int digit = 0; digit < 8; ++digit) {
    text[13 - digit] = kHex.text[(value >> (4 * digit)) & 15][1];
  }
  return WriteText(std::string_view(text, 14), to);
}

}  // namespace

// Readable forms are written straight from the data in one pass that also checks that they
// read back to the very same value; a form found not to is written over by the hex form.
char* WriteValueForRecord(uint32_t type, std::string_view data, char* to) {
  char* written = nullptr;
  switch (type) {
    case kRegSz:
    case kRegExpandSz:
      written = WriteString(type, data, to);
      break;
    case kRegDword:
      if (data.size() == 4) written = WriteDword(data, to);
      break;
    case kRegMultiSz:
      written = WriteMultiString(data, to);
      break;
    default:
      break;  // the hex forms themselves
  }
  return written ? written : WriteHex(type, data, to);
}

char* WriteEscapedValueName(std::string_view name, char* to) {
  const char* at = name.data();
  return WriteEscapedUntil(&at, at + name.size(), 0, to);
}

void AppendValueForRecord(uint32_t type, std::string_view data, std::string* out) {
  const size_t start = out->size();
  out->resize(start + ValueForRecordRoom(data.size()));
  char* end = WriteValueForRecord(type, data, out->data() + start);
  out->resize(static_cast<size_t>(end - out->data()));
}

void AppendEscapedValueName(std::string_view name, std::string* out) {
  const size_t start = out->size();
  out->resize(start + EscapedValueNameRoom(name.size()));
  char* end = WriteEscapedValueName(name, out->data() + start);
  out->resize(static_cast<size_t>(end - out->data()));
}

std::string FormatValueForRecord(uint32_t type, std::string_view data) {
  std::string text;
  AppendValueForRecord(type, data, &text);
  return text;
}
