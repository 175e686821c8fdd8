// Fuzzes the reversal of a backout file: any input is reversed without a crash, and a reversed
// file reversed twice more comes back unchanged with the same lines. Input that starts with "#"
// instead builds a backout file as the operations write it, cut at any byte, and checks that
// its reversal holds exactly its whole lines, the blocks and each value's records last-first.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "backout/record_format.h"
#include "backout/reversal.h"
#include "script/script_state.h"
#include "script/value_text.h"

namespace {

std::string Reverse(std::string_view text, bool* ok) {
  ScriptState state;
  std::string reversed;
  *ok = ReverseBackoutText(text, state, &reversed);
  return reversed;
}

// How often each line occurs, the header line and blank lines left out.
std::map<std::string, int> CountLines(std::string_view text) {
  std::map<std::string, int> counts;
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = text.find('\n', start);
    if (end == std::string_view::npos) std::abort();  // every written line has its line end
    std::string line(text.substr(start, end + 1 - start));
    if (line != "\n" && !(start == 0 && line == "DORVALEX\n")) ++counts[line];
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
    std::string_view text = input_.substr(0, Byte() % 32);
    input_.remove_prefix(text.size());
    std::string kept;
    for (char c : text) {
      if (banned.find(c) == std::string_view::npos) kept.push_back(c);
    }
    return kept;
  }

 private:
  std::string_view input_;
};

// A value name or string: no line end and no Ctrl-Z, which ends a script; a key path also
// stops at its first "]".
constexpr std::string_view kNotInLine("\n\x1a", 2);
constexpr std::string_view kNotInKey("\n\x1a]", 3);

std::string RecordName(std::string_view name) {
  return name.empty() ? "@" : "\"" + EscapeValueName(name) + "\"";
}

// A backout file as the operations write it, cut at the byte the input's first two bytes name
// (a run killed part way), and the reversal of its whole lines.
std::string WriteBackoutFile(Pieces& pieces, std::string* expected) {
  size_t cut = pieces.Byte() << 8;
  cut |= pieces.Byte();
  std::string file = "DORVALEX\n";
  if (pieces.Byte() & 1) {
    file += "; Backout file is only showing keys that are overwritten by applying IN\n";
  }
  std::vector<std::vector<std::string>> blocks;  // each block's header, then its records
  while (!pieces.empty()) {
    uint8_t kind = pieces.Byte();
    std::string line;
    if (blocks.empty() || kind % 5 == 0) {
      line = (kind & 0x80 ? "DELETE:[" : "UPDATE:[") + pieces.Text(kNotInKey) + "]\n";
      file += "\n";
    } else if (kind % 5 == 1) {
      std::string name = pieces.Text(kNotInLine);
      uint32_t type = pieces.Byte() % 12;
      line = "UPDATE:" + RecordName(name) + "=" + FormatValueForRecord(type, pieces.Text("")) +
             "\n";
    } else if (kind % 5 == 2) {
      line = "DELETE:" + RecordName(pieces.Text(kNotInLine)) + "=\n";
    } else {
      std::string name = pieces.Text(kNotInLine);
      line = (kind % 5 == 3 ? "REMOVE:" : "APPEND:") + RecordName(name) + "=\"" +
             EscapeValueData(pieces.Text(kNotInLine), kRegSz) + "\"\n";
    }
    file += line;
    if (file.size() > cut) break;
    if (blocks.empty() || kind % 5 == 0) blocks.emplace_back();
    blocks.back().push_back(line);
  }
  // Blocks newest first; in each, the values in the order of their first record, each value's
  // records newest first.
  *expected = "DORVALEX\n\n";
  for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) {
    *expected += block->front();
    std::vector<std::pair<std::string, std::vector<std::string>>> values;
    for (auto record = block->begin() + 1; record != block->end(); ++record) {
      std::string key;
      if (!RecordValueKey(*record, &key)) std::abort();
      auto same = [&key](const auto& value) { return value.first == key; };
      auto it = std::find_if(values.begin(), values.end(), same);
      if (it == values.end()) it = values.insert(values.end(), {key, {}});
      it->second.push_back(*record);
    }
    for (const auto& value : values) {
      for (auto record = value.second.rbegin(); record != value.second.rend(); ++record) {
        *expected += *record;
      }
    }
    *expected += "\n";
  }
  if (file.size() > cut) file.resize(cut);
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(bytes), size);
  bool ok = false;
  std::string first;
  if (!input.empty() && input[0] == '#') {
    Pieces pieces(input.substr(1));
    std::string expected;
    const std::string file = WriteBackoutFile(pieces, &expected);
    first = Reverse(file, &ok);
    if (ok != (file.size() >= 8) || (ok && first != expected)) std::abort();
  } else {
    first = Reverse(input, &ok);
  }
  if (!ok) return 0;

  // A reversed file is a valid backout file: reversed again it gives the same lines in their
  // first order, and once more the first reversal exactly.
  const std::string second = Reverse(first, &ok);
  if (!ok || CountLines(second) != CountLines(first)) std::abort();
  const std::string third = Reverse(second, &ok);
  if (!ok || third != first) std::abort();
  return 0;
}
