// Case-insensitive handling of ASCII letters, the one rule the tool uses for registry names,
// header words, options and string-list entries: bytes outside 'a'-'z'/'A'-'Z' match only
// themselves.
#ifndef DORVALEX_BASE_ASCII_CASE_H_
#define DORVALEX_BASE_ASCII_CASE_H_

#include <string>
#include <string_view>

inline char FoldAsciiCase(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The comparison form of `text` into *folded (whose memory is reused): ASCII letters
// upper-cased.
inline void FoldAsciiCaseInto(std::string_view text, std::string* folded) {
  folded->assign(text);
  for (char& c : *folded) c = FoldAsciiCase(c);
}

inline std::string FoldAsciiCase(std::string_view text) {
  std::string folded;
  FoldAsciiCaseInto(text, &folded);
  return folded;
}

inline bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (FoldAsciiCase(text[i]) != FoldAsciiCase(prefix[i])) return false;
  }
  return true;
}

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithIgnoringCase(a, b);
}

#endif  // DORVALEX_BASE_ASCII_CASE_H_
