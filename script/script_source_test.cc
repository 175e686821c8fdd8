// Header search and logical-line assembly: line ends, Ctrl-Z, continuations, buffer sizes.
#include "script/script_source.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

// The logical lines of `script` after its header word, each with its start line and
// buffer size, rendered as "line/capacity:text".
std::vector<std::string> LinesOf(std::string script) {
  std::FILE* file = fmemopen(script.data(), script.size(), "rb");
  ScriptSource source(file);
  std::vector<std::string> lines;
  if (source.FindHeaderWord() != ScriptSource::Header::kNone) {
    std::string line;
    while (!source.AtEnd()) {
      source.ReadLogicalLine(&line);
      lines.push_back(std::to_string(source.lineStart()) + "/" +
                      std::to_string(source.lineCapacity()) + ":" + line);
    }
  }
  std::fclose(file);
  return lines;
}

using Lines = std::vector<std::string>;

TEST(ScriptSourceTest, FindsTheHeaderWordAnywhereAsAWholeWord) {
  struct Row {
    std::string script;
    ScriptSource::Header header;
  };
  const std::vector<Row> rows = {
      {"DORVALEX\n", ScriptSource::Header::kNative},
      {"dorValex", ScriptSource::Header::kNative},
      {"KAVORE1\n", ScriptSource::Header::kNative},
      {"Regedit4\r\n", ScriptSource::Header::kRegedit4},
      {"; a comment\n\t REGEDIT4\n", ScriptSource::Header::kRegedit4},
      {std::string(300, 'x') + " DORVALEX", ScriptSource::Header::kNative},
      {"REGEDIT4x DORVALEX", ScriptSource::Header::kNative},
      {"", ScriptSource::Header::kNone},
      {" \n\t\r\n", ScriptSource::Header::kNone},
      {"REGEDIT4x REGEDIT DORVALEX1 xDORVALEX", ScriptSource::Header::kNone},
      {"Windows Registry Editor Version 5.00\n", ScriptSource::Header::kNone},
      {"x\x1a DORVALEX", ScriptSource::Header::kNone},  // Ctrl-Z ends the file
      {"DORVAL\0EX DORVALEX\0"s, ScriptSource::Header::kNone},
  };
  for (const Row& row : rows) {
    std::string script = row.script;
    std::FILE* file = fmemopen(script.data(), script.size(), "rb");
    ScriptSource source(file);
    EXPECT_EQ(source.FindHeaderWord(), row.header) << row.script;
    std::fclose(file);
  }
}

TEST(ScriptSourceTest, LinesStartDirectlyAfterTheHeaderWordOnTheirPhysicalLine) {
  EXPECT_EQ(LinesOf("DORVALEX\nA:1\nB:2"), (Lines{"1/255:\n", "2/255:A:1\n", "3/255:B:2\n"}));
  EXPECT_EQ(LinesOf("DORVALEX UPDATE:[K]\n"), (Lines{"1/255: UPDATE:[K]\n", "2/255:\n"}));
  EXPECT_EQ(LinesOf("; two words\nDORVALEX\nA\n"), (Lines{"2/255:\n", "3/255:A\n", "4/255:\n"}));
  EXPECT_EQ(LinesOf("\n\n  DORVALEX\r\nA\r\n"), (Lines{"3/255:\n", "4/255:A\n", "5/255:\n"}));
  EXPECT_EQ(LinesOf("DORVALEX"), Lines{});
}

TEST(ScriptSourceTest, CarriageReturnsAndCtrlZ) {
  EXPECT_EQ(LinesOf("DORVALEX\r\nA\rB\r\n\r"),
            (Lines{"1/255:\n", "2/255:A\rB\n", "3/255:\r\n"}));
  EXPECT_EQ(LinesOf("DORVALEX\nA\x1a\nB\n"), (Lines{"1/255:\n", "2/255:A\n"}));
  EXPECT_EQ(LinesOf("DORVALEX\nA\r\x1a"), (Lines{"1/255:\n", "2/255:A\r\n"}));
  EXPECT_EQ(LinesOf("DORVALEX\nA\0B\n"s), (Lines{"1/255:\n", "2/255:A\0B\n"s, "3/255:\n"}));
}

TEST(ScriptSourceTest, ContinuationsJoinLinesAndCountFromTheFirst) {
  // Leading blanks of the continued line go, a tab stays.
  EXPECT_EQ(LinesOf("DORVALEX\nhex:01,\\\n    02,\\\r\n\t03\nX\n"),
            (Lines{"1/255:\n", "2/255:hex:01,02,\t03\n", "5/255:X\n", "6/255:\n"}));
  // A backslash before an empty line joins nothing but still goes.
  EXPECT_EQ(LinesOf("DORVALEX\nA\\\n\nB\n"), (Lines{"1/255:\n", "2/255:A\n", "4/255:B\n",
                                                   "5/255:\n"}));
  // The second of a doubled backslash continues; the joined text may continue again.
  EXPECT_EQ(LinesOf("DORVALEX\nA\\\\\nB\\\n\\\nC"), (Lines{"1/255:\n", "2/255:A\\BC\n"}));
  // A backslash at the very end of the file stays.
  EXPECT_EQ(LinesOf("DORVALEX\nA\\"), (Lines{"1/255:\n", "2/255:A\\\n"}));
  EXPECT_EQ(LinesOf("DORVALEX\nA\\\n   "), (Lines{"1/255:\n", "2/255:A\n"}));
}

TEST(ScriptSourceTest, BufferGrowsInStepsOf255KeepingThreeBytesSpare) {
  struct Row {
    size_t characters;  // before the line end
    uint32_t capacity;
  };
  for (Row row : {Row{0, 255}, Row{251, 255}, Row{252, 510}, Row{506, 510}, Row{507, 765}}) {
    Lines lines = LinesOf("DORVALEX\n" + std::string(row.characters, 'x') + "\n");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].substr(0, lines[1].find(':')),
              "2/" + std::to_string(row.capacity)) << row.characters;
  }
  // A continuation counts its backslash while the next line is looked at.
  Lines lines = LinesOf("DORVALEX\n" + std::string(251, 'x') + "\\\n\n");
  EXPECT_EQ(lines[1], "2/510:" + std::string(251, 'x') + "\n");
  lines = LinesOf("DORVALEX\n" + std::string(250, 'x') + "\\\nyz\n");
  EXPECT_EQ(lines[1], "2/510:" + std::string(250, 'x') + "yz\n");
}

TEST(ScriptSourceTest, HugeLinesAndLongContinuationChains) {
  std::string script = "DORVALEX\n" + std::string(3'000'000, 'a') + "\n";
  for (int i = 0; i < 10'000; ++i) script += "b,\\\n  ";
  script += "c\nEND\n";
  Lines lines = LinesOf(script);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1].size(), std::string("2/3000075:").size() + 3'000'001);
  EXPECT_EQ(lines[1].substr(0, 10), "2/3000075:");
  EXPECT_EQ(lines[2].substr(0, lines[2].find(':')), "3/20145");
  EXPECT_EQ(lines[3], "10004/255:END\n");
}

}  // namespace
