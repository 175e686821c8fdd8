// Header search and logical-line assembly: line ends, Ctrl-Z, continuations, UTF-16LE.
#include "script/script_source.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

// The header found in `script` ("none", "native", "regedit4", "version5"), then its logical
// lines, each rendered as "start line:text".
Lines LinesOf(std::string script) {
  std::FILE* file = fmemopen(script.data(), script.size(), "rb");
  ScriptSource source(file);
  const ScriptSource::Header header = source.FindHeaderWord();
  Lines lines = {header == ScriptSource::Header::kNone       ? "none"
                 : header == ScriptSource::Header::kNative   ? "native"
                 : header == ScriptSource::Header::kVersion5 ? "version5"
                                                             : "regedit4"};
  std::string line;
  while (header != ScriptSource::Header::kNone && !source.AtEnd()) {
    source.ReadLogicalLine(&line);
    lines.push_back(std::to_string(source.lineStart()) + ":" + line);
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
      {"\xEF\xBB\xBFREGEDIT4", "regedit4"},
      {"\xEF\xBB\xBF" "DORVALEX", "native"},
      {" windows registry editor version 5.00 \t\r\n", "version5"},
      {"Windows Registry Editor Version 5.00 x DORVALEX", "native"},
      {"Windows Registry Editor Version 5.0\nREGEDIT4", "regedit4"},
      {"x\nWindows Registry Editor Version 5.00\n", "none"},
  };
  for (const auto& [script, header] : rows) EXPECT_EQ(LinesOf(script)[0], header) << script;
}

TEST(ScriptSourceTest, LineEndsCtrlZAndContinuations) {
  const std::vector<std::pair<std::string, Lines>> rows = {
      {"DORVALEX UPDATE:[K]\n", {"1: UPDATE:[K]\n", "2:\n"}},
      {"\n\n  DORVALEX\r\nA\r\n", {"3:\n", "4:A\n", "5:\n"}},
      {"DORVALEX\r\nA\rB\r\n\r", {"1:\n", "2:A\rB\n", "3:\r\n"}},
      {"DORVALEX\nA\x1a\nB\n", {"1:\n", "2:A\n"}},
      {"DORVALEX\nA\r\x1a", {"1:\n", "2:A\r\n"}},
      {"DORVALEX\nA\0B\n"s, {"1:\n", "2:A\0B\n"s, "3:\n"}},
      // Leading blanks of a continued line go, a tab stays; the line counts from its first.
      {"DORVALEX\nhex:01,\\\n    02,\\\r\n\t03\nX\n",
       {"1:\n", "2:hex:01,02,\t03\n", "5:X\n", "6:\n"}},
      {"DORVALEX\nA\\\n\nB\n", {"1:\n", "2:A\n", "4:B\n", "5:\n"}},
      {"DORVALEX\nA\\\\\nB\\\n\\\nC", {"1:\n", "2:A\\BC\n"}},
      {"DORVALEX\nA\\", {"1:\n", "2:A\\\n"}},  // kept at the very end of the file
  };
  for (const auto& [script, lines] : rows) {
    const Lines found = LinesOf(script);
    EXPECT_EQ(Lines(found.begin() + 1, found.end()), lines) << script;
  }
}

// UTF-16LE with its mark reads as the same text in UTF-8, also where a surrogate pair or a
// CR LF straddles a read of the file; text that is not UTF-16 stops the lines where it stands.
TEST(ScriptSourceTest, Utf16TextReadsAsUtf8) {
  auto utf16 = [](std::u16string_view text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text) {
      bytes.push_back(static_cast<char>(unit & 0xFF));
      bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
  };
  std::u16string text = u"REGEDIT4\r\n";
  std::string expected;
  for (int i = 0; i < 20'000; ++i) {
    text += u"\"\u00e9\U0001F600\"\r\n";
    expected += "\"\xC3\xA9\xF0\x9F\x98\x80\"\n";
  }
  Lines lines = LinesOf(utf16(text));
  std::string joined;
  for (size_t i = 2; i < lines.size(); ++i) joined += lines[i].substr(lines[i].find(':') + 1);
  EXPECT_EQ(joined, expected + "\n");
  EXPECT_EQ(LinesOf(utf16(u"Windows Registry Editor Version 5.00\r\nA")),
            (Lines{"version5", "1:\n", "2:A\n"}));
  for (auto [bad, error] : {std::pair{utf16(u"REGEDIT4\nA\nB\xD800"), ScriptSource::TextError::kLoneSurrogate},
                            {utf16(u"REGEDIT4\nA\nB\xDC00\xD800"), ScriptSource::TextError::kLoneSurrogate},
                            {utf16(u"REGEDIT4\nA\nB") + "x", ScriptSource::TextError::kOddByte}}) {
    std::FILE* file = fmemopen(bad.data(), bad.size(), "rb");
    ScriptSource source(file);
    EXPECT_EQ(source.FindHeaderWord(), ScriptSource::Header::kRegedit4);
    std::string line;
    Lines read;
    while (!source.AtEnd()) {
      source.ReadLogicalLine(&line);
      read.push_back(line);
    }
    EXPECT_EQ(read, (Lines{"\n", "A\n", "B\n"}));
    EXPECT_EQ(source.textError(), error);
    EXPECT_EQ(source.physicalLine(), 3);
    std::fclose(file);
  }
}

}  // namespace
