// Reading and writing the string list of a multi-string value.
#include "ops/multi_string_list.h"

StringList ReadStringList(std::string_view data) {
  StringList list;
  if (data.empty() || data == std::string_view("\0", 1)) return list;
  size_t start = 0;
  while (start < data.size()) {
    const size_t end = data.find('\0', start);
    if (end == std::string_view::npos) {
      list.emplace_back(data.substr(start));  // unterminated last string
      break;
    }
    list.emplace_back(data.substr(start, end - start));
    if (end + 1 < data.size() && data[end + 1] == '\0') break;  // the list's closing zero
    start = end + 1;
  }
  return list;
}

std::string WriteStringList(const StringList& list) {
  std::string data;
  for (const std::string& text : list) {
    data.append(text);
    data.push_back('\0');
  }
  data.push_back('\0');
  return data;
}
