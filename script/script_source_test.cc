// Header search and logical-line assembly: line ends, Ctrl-Z, continuations, buffer sizes.
#include "script/script_source.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

// The header found in `script` ("none", "native", "regedit4"), then its logical lines, each
// rendered as "start line/buffer size:text".
Lines LinesOf(std::string script) {
  std::FILE* file = fmemopen(script.data(), script.size(), "rb");
  ScriptSource source(file);
  const ScriptSource::Header header = source.FindHeaderWord();
  Lines lines = {header == ScriptSource::Header::kNone     ? "none"
                 : header == ScriptSource::Header::kNative ? "native"
                                                           : "regedit4"};
  std::string line;
  while (header != ScriptSource::Header::kNone && !source.AtEnd()) {
    source.ReadLogicalLine(&line);
    lines.push_back(std::to_string(source.lineStart()) + "/" +
                    std::to_string(source.lineCapacity()) + ":" + line);
  }
  std::fclose(file);
  return lines;
}

TEST(ScriptSourceTest, FindsTheHeaderWordAnywhereAsAWholeWord) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"dorValex", "native"},
      {"; a comment\n\t Regedit4\r\n", "regedit4"},
      {std::string(300, 'x') + " DORVALEX", "native"},
      {"KAVORE1\n", "native"},
      {"REGEDIT4x REGEDIT DORVALEX1 xDORVALEX", "none"},
      {"x\x1a DORVALEX", "none"},  // Ctrl-Z ends the file
      {"DORVAL\0EX DORVALEX\0"s, "none"},
  };
  for (const auto& [script, header] : rows) EXPECT_EQ(LinesOf(script)[0], header) << script;
}

TEST(ScriptSourceTest, LineEndsCtrlZAndContinuations) {
  const std::vector<std::pair<std::string, Lines>> rows = {
      {"DORVALEX UPDATE:[K]\n", {"1/255: UPDATE:[K]\n", "2/255:\n"}},
      {"\n\n  DORVALEX\r\nA\r\n", {"3/255:\n", "4/255:A\n", "5/255:\n"}},
      {"DORVALEX\r\nA\rB\r\n\r", {"1/255:\n", "2/255:A\rB\n", "3/255:\r\n"}},
      {"DORVALEX\nA\x1a\nB\n", {"1/255:\n", "2/255:A\n"}},
      {"DORVALEX\nA\r\x1a", {"1/255:\n", "2/255:A\r\n"}},
      {"DORVALEX\nA\0B\n"s, {"1/255:\n", "2/255:A\0B\n"s, "3/255:\n"}},
      // Leading blanks of a continued line go, a tab stays; the line counts from its first.
      {"DORVALEX\nhex:01,\\\n    02,\\\r\n\t03\nX\n",
       {"1/255:\n", "2/255:hex:01,02,\t03\n", "5/255:X\n", "6/255:\n"}},
      {"DORVALEX\nA\\\n\nB\n", {"1/255:\n", "2/255:A\n", "4/255:B\n", "5/255:\n"}},
      {"DORVALEX\nA\\\\\nB\\\n\\\nC", {"1/255:\n", "2/255:A\\BC\n"}},
      {"DORVALEX\nA\\", {"1/255:\n", "2/255:A\\\n"}},  // kept at the very end of the file
  };
  for (const auto& [script, lines] : rows) {
    const Lines found = LinesOf(script);
    EXPECT_EQ(Lines(found.begin() + 1, found.end()), lines) << script;
  }
}

}  // namespace
