// Fuzzes the reader and rewrite of a backout file's reversal: compares it with a plain
// character-by-character reading, checks that no record is lost or duplicated, and that a
// reversed file reversed twice more comes back unchanged. Input that starts with "#" instead
// builds a backout file as the operations write it (possibly cut short) and checks that the
// script reader reads its reversal as exactly the written records, last-first.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "backout/reversal.h"
#include "script/script_source.h"
#include "script/script_state.h"
#include "script/value_text.h"

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

// Takes the fuzz input apart into the pieces of a written backout file.
class Pieces {
 public:
  explicit Pieces(std::string_view input) : input_(input) {}
  bool empty() const { return input_.empty(); }
  uint8_t Byte() {
    if (input_.empty()) return 0;
    auto byte = static_cast<uint8_t>(input_[0]);
    input_.remove_prefix(1);
    return byte;
  }
  // Up to 31 bytes, without the characters a script line cannot carry (`banned`).
  std::string Text(std::string_view banned) {
    size_t length = Byte() % 32;
    std::string text(input_.substr(0, length));
    input_.remove_prefix(std::min(length, input_.size()));
    std::string kept;
    for (char c : text) {
      if (banned.find(c) == std::string_view::npos) kept.push_back(c);
    }
    return kept;
  }

 private:
  std::string_view input_;
};

// A value name or string of a script line: no line end and no Ctrl-Z, which ends a script.
constexpr std::string_view kNotInLine("\n\x1a", 2);
// A key path also stops at its first "]".
constexpr std::string_view kNotInKey("\n\x1a]", 3);

std::string RecordName(std::string_view name) {
  return name.empty() ? "@" : "\"" + EscapeValueName(name) + "\"";
}

// A backout file as the operations and the snapshot write it: the header line, perhaps the
// /CHANGES comment, then blocks of records. *lines gets every block header and record.
std::string WriteBackoutFile(Pieces& pieces, std::vector<std::string>* lines) {
  std::string file = "DORVALEX\n";
  if (pieces.Byte() & 1) {
    file += "; Backout file is only showing keys that are overwritten by applying IN\n";
  }
  bool inBlock = false;
  while (!pieces.empty()) {
    uint8_t kind = pieces.Byte();
    std::string line;
    if (!inBlock || kind % 5 == 0) {
      line = (kind & 0x80 ? "DELETE:[" : "UPDATE:[") + pieces.Text(kNotInKey) + "]\n";
      file += "\n";
      inBlock = true;
    } else if (kind % 5 == 1) {
      std::string name = pieces.Text(kNotInLine);
      uint32_t type = pieces.Byte() % 12;
      std::string data = pieces.Text("");
      line = "UPDATE:" + RecordName(name) + "=" + FormatValueForRecord(type, data) + "\n";
    } else if (kind % 5 == 2) {
      line = "DELETE:" + RecordName(pieces.Text(kNotInLine)) + "=\n";
    } else {
      std::string name = pieces.Text(kNotInLine);
      std::string text = pieces.Text(kNotInLine);
      line = (kind % 5 == 3 ? "REMOVE:" : "APPEND:") + RecordName(name) + "=\"" +
             EscapeValueData(text, kRegSz) + "\"\n";
    }
    file += line;
    lines->push_back(line);
  }
  return file;
}

// The logical lines the script reader hands to the parser: blank, white-space and comment
// lines skipped.
std::vector<std::string> ReadAsScript(std::string text) {
  std::vector<std::string> lines;
  if (text.empty()) return lines;
  std::FILE* file = fmemopen(text.data(), text.size(), "rb");
  if (file == nullptr) std::abort();
  ScriptSource source(file);
  if (source.FindHeaderWord() != ScriptSource::Header::kNone) {
    std::string line;
    while (!source.AtEnd()) {
      source.ReadLogicalLine(&line);
      if (line.size() < 2 || line[0] == ';') continue;
      if (line.find_first_not_of(" \t\n\v\f\r") == std::string::npos) continue;
      lines.push_back(line);
    }
  }
  std::fclose(file);
  return lines;
}

bool IsBlockHeader(std::string_view line) {
  size_t colon = line.find(':');
  return colon != std::string_view::npos && colon + 1 < line.size() && line[colon + 1] == '[';
}

// A written file, whole or cut anywhere (a run killed part way): its reversal, read by the
// script reader, is every whole line of the file, the blocks and their records last-first.
void CheckWrittenFile(std::string_view input) {
  Pieces pieces(input);
  uint16_t cut = static_cast<uint16_t>(pieces.Byte() << 8);
  cut = static_cast<uint16_t>(cut | pieces.Byte());
  std::vector<std::string> lines;
  std::string file = WriteBackoutFile(pieces, &lines);
  if (cut < file.size()) {
    file.resize(cut);
    // The lines that reached the file whole.
    size_t whole = 0;
    size_t end = file.rfind('\n');
    std::string_view kept(file.data(), end == std::string::npos ? 0 : end + 1);
    for (size_t at = 0; whole < lines.size(); ++whole) {
      at = kept.find(lines[whole], at);
      if (at == std::string_view::npos) break;
      at += lines[whole].size();
    }
    lines.resize(whole);
  }
  ScriptState state;
  std::string reversed;
  bool ok = ReverseBackoutText(file, state, &reversed);
  if (ok != (file.size() >= 8)) std::abort();
  if (!ok) return;

  std::vector<std::string> expected;
  size_t blockEnd = lines.size();
  for (size_t i = lines.size(); i-- > 0;) {
    if (!IsBlockHeader(lines[i])) continue;
    expected.push_back(lines[i]);
    for (size_t record = blockEnd; record-- > i + 1;) expected.push_back(lines[record]);
    blockEnd = i;
  }
  if (ReadAsScript(reversed) != expected) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(bytes), size);
  if (!input.empty() && input[0] == '#') {
    CheckWrittenFile(input.substr(1));
    return 0;
  }
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
