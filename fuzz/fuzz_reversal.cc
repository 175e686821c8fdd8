// Fuzzes the reader and rewrite of a backout file's reversal: compares it with a plain
// character-by-character reading, checks that no record is lost or duplicated, and that a
// reversed file reversed twice more comes back unchanged.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "backout/reversal.h"
#include "script/script_state.h"

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool IsHeaderWord(std::string_view word) {
  constexpr std::string_view kWord = "DORVALEX";
  if (word.size() != kWord.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != kWord[i]) return false;
  }
  return true;
}

struct PlainBlock {
  std::string header;
  std::vector<std::string> records;
};

// The file read one character at a time: the words up to the header word skipped, a backslash
// before a line end joining the next line without its leading blanks, a last line without its
// line end left out, blank and ";" lines dropped, and records before the first block header
// belonging to no block. False when there is no header word.
bool ReadPlainly(std::string_view in, std::vector<PlainBlock>* blocks) {
  size_t i = 0;
  for (;;) {
    while (i < in.size() && IsSpace(in[i])) ++i;
    if (i >= in.size()) return false;
    size_t start = i;
    while (i < in.size() && !IsSpace(in[i])) ++i;
    if (IsHeaderWord(in.substr(start, i - start))) break;
  }
  std::string line;
  while (i < in.size()) {
    char c = in[i++];
    if (c == '\n' && !line.empty() && line.back() == '\\') {
      line.pop_back();
      while (i < in.size() && in[i] == ' ') ++i;
      continue;
    }
    line.push_back(c);
    if (c != '\n') continue;
    if (line.size() >= 2 && line[0] != ';') {
      size_t colon = line.find(':');
      if (colon != std::string::npos && colon + 1 < line.size() && line[colon + 1] == '[') {
        blocks->push_back(PlainBlock{line, {}});
      } else if (!blocks->empty()) {
        blocks->back().records.push_back(line);
      }
    }
    line.clear();
  }
  return true;
}

std::string Reverse(std::string_view text, bool* ok) {
  ScriptState state;
  std::string reversed;
  *ok = ReverseBackoutText(text, state, &reversed);
  return reversed;
}

// How often each line (with its line end) occurs, the leading header line and blank lines left
// out.
std::map<std::string, int> CountLines(std::string_view text) {
  std::map<std::string, int> counts;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) std::abort();  // every written line has its line end
    std::string line(text.substr(start, end + 1 - start));
    bool headerLine = start == 0 && line == "DORVALEX\n";
    start = end + 1;
    if (line != "\n" && !headerLine) ++counts[line];
  }
  return counts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(bytes), size);
  std::vector<PlainBlock> blocks;
  const bool hasHeader = ReadPlainly(input, &blocks);
  bool ok = false;
  const std::string first = Reverse(input, &ok);
  if (ok != hasHeader) std::abort();
  if (!ok) return 0;

  // The same text as the plain reading gives.
  std::string expected = "DORVALEX\n\n";
  std::map<std::string, int> records;
  for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) {
    expected += block->header;
    ++records[block->header];
    for (auto record = block->records.rbegin(); record != block->records.rend(); ++record) {
      expected += *record;
      ++records[*record];
    }
    expected += "\n";
  }
  if (first != expected) std::abort();
  // Every header and record of the input, each as often as it was read, and nothing else.
  if (CountLines(first) != records) std::abort();

  // A reversed file is a valid backout file: reversed again it gives the blocks and records in
  // their first order, and once more the first reversal exactly.
  const std::string second = Reverse(first, &ok);
  if (!ok || CountLines(second) != records) std::abort();
  const std::string third = Reverse(second, &ok);
  if (!ok || third != first) std::abort();
  return 0;
}
