// The data text of a backout or snapshot record: the readable form where it reads back to the
// very same value, the "hex(N):" form otherwise, so that no record loses or changes data.
#include "script/value_text.h"

namespace {

// A line end would split the record line and Ctrl-Z ends the script file where it stands.
bool BreaksRecordLine(char c) { return c == '\n' || c == '\x1a'; }

// A string value reads back as the text between its quotes plus one NUL: it must end with its
// only NUL.
bool StringIsReadable(std::string_view data) {
  if (data.empty() || data.back() != '\0') return false;
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    char c = data[i];
    if (c == '\0' || BreaksRecordLine(c)) return false;
  }
  return true;
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

}  // namespace

std::string FormatValueForRecord(uint32_t type, std::string_view data) {
  if (IsReadable(type, data)) return FormatValueText(type, EscapeValueData(data, type));
  return FormatHexValueText(type, data);
}
