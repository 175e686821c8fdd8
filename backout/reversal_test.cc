// The reversal of a backout file: block and record order, what is dropped, and that the old
// file survives every failure with no temporary file left beside it.
#include "backout/reversal.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "gtest/gtest.h"
#include "testing/capture_output.h"

namespace {

class ReversalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/dx-reversal-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    path_ = dir_ + "/undo.txt";
  }
  void TearDown() override {
    for (const std::string& name : Files()) unlink((dir_ + "/" + name).c_str());
    rmdir(dir_.c_str());
  }

  void Write(const std::string& text) {
    std::ofstream(path_, std::ios::binary) << text;
  }
  std::string Read() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::vector<std::string> Files() {
    std::vector<std::string> names;
    DIR* dir = opendir(dir_.c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
  }
  bool Reverse() {
    ScriptState state;
    return ReverseBackout(path_, settings_, state);
  }

  std::string dir_;
  std::string path_;
  RunSettings settings_;
  CaptureOutput output_;
};

TEST_F(ReversalTest, RewritesBlocksAndRecordsLastFirst) {
  struct Case {
    const char* name;
    std::string before;
    std::string after;
  };
  const Case cases[] = {
      {"two blocks",
       "DORVALEX\n\nUPDATE:[HKLM\\SOFTWARE\\A]\nUPDATE:\"x\"=\"1\"\nUPDATE:\"y\"=\"2\"\n"
       "\nDELETE:[HKLM\\SOFTWARE\\B]\n",
       "DORVALEX\n\nDELETE:[HKLM\\SOFTWARE\\B]\n\nUPDATE:[HKLM\\SOFTWARE\\A]\n"
       "UPDATE:\"y\"=\"2\"\nUPDATE:\"x\"=\"1\"\n\n"},
      {"nothing recorded", "DORVALEX\n", "DORVALEX\n\n"},
      {"changes comment dropped",
       "DORVALEX\n\n; Backout file is only showing keys that are overwritten by applying IN\n"
       "\nUPDATE:[HKLM\\A]\nREMOVE:\"m\"=\"b\"\nREMOVE:\"m\"=\"c\"\n",
       "DORVALEX\n\nUPDATE:[HKLM\\A]\nREMOVE:\"m\"=\"c\"\nREMOVE:\"m\"=\"b\"\n\n"},
      {"header word later and in lower case",
       "junk words dorvalex\n\nUPDATE:[HKLM\\A]\nDELETE:@=\n",
       "DORVALEX\n\nUPDATE:[HKLM\\A]\nDELETE:@=\n\n"},
      {"continued record joined without its blanks",
       "DORVALEX\n\nUPDATE:[HKLM\\A]\nUPDATE:\"b\"=hex:01,\\\n    02\nUPDATE:\"c\"=\"\"\n",
       "DORVALEX\n\nUPDATE:[HKLM\\A]\nUPDATE:\"c\"=\"\"\nUPDATE:\"b\"=hex:01,02\n\n"},
      {"a line cut short at the end is dropped",
       "DORVALEX\n\nUPDATE:[HKLM\\A]\nUPDATE:\"a\"=\"1\"\nUPDATE:\"b\"=hex:01,0",
       "DORVALEX\n\nUPDATE:[HKLM\\A]\nUPDATE:\"a\"=\"1\"\n\n"},
      {"records before any header are dropped",
       "DORVALEX\nUPDATE:\"stray\"=\"1\"\n\nDELETE:[HKLM\\A]\n",
       "DORVALEX\n\nDELETE:[HKLM\\A]\n\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write(c.before);
    EXPECT_TRUE(Reverse());
    EXPECT_EQ(Read(), c.after);
    EXPECT_EQ(Files().size(), 1u);
  }
  EXPECT_EQ(output_.Take(), "");
}

TEST_F(ReversalTest, ReversingTwiceGivesTheOriginalOrderBack) {
  std::string original;
  original = "DORVALEX\n\n";
  for (int block = 0; block < 20; ++block) {
    original += "UPDATE:[HKLM\\K" + std::to_string(block) + "]\n";
    for (int record = 0; record < block % 4; ++record) {
      original += "UPDATE:\"v" + std::to_string(record) + "\"=Dword:0000000" +
                  std::to_string(record) + "\n";
    }
    original += "\n";
  }
  Write(original);
  ASSERT_TRUE(Reverse());
  EXPECT_NE(Read(), original);
  ASSERT_TRUE(Reverse());
  EXPECT_EQ(Read(), original);
}

TEST_F(ReversalTest, ProgressLinesOnlyWhenVerbose) {
  Write("DORVALEX\n");
  settings_.quiet = false;
  EXPECT_TRUE(Reverse());
  EXPECT_EQ(output_.Take(), "Parsing Backup File ...\nRewriting Backup File ...\n");
}

TEST_F(ReversalTest, FailuresLeaveTheFileAsItWas) {
  {
    SCOPED_TRACE("no header word");
    Write("UPDATE:[HKLM\\A]\n");
    EXPECT_FALSE(Reverse());
    EXPECT_EQ(output_.Take(), "***ERROR : Backup file is not a DORVALEX file type\n");
    EXPECT_EQ(Read(), "UPDATE:[HKLM\\A]\n");
  }
  {
    SCOPED_TRACE("missing file");
    unlink(path_.c_str());
    EXPECT_FALSE(Reverse());
    EXPECT_EQ(output_.Take(), "***ERROR : Unable to open Backup File\n");
  }
  if (geteuid() != 0) {
    SCOPED_TRACE("folder not writable: no temporary file can be made");
    Write("DORVALEX\n\nDELETE:[HKLM\\A]\n");
    chmod(dir_.c_str(), 0500);
    EXPECT_FALSE(Reverse());
    chmod(dir_.c_str(), 0700);
    EXPECT_EQ(output_.Take(), "***ERROR : Unable to Create Backout File\n");
    EXPECT_EQ(Read(), "DORVALEX\n\nDELETE:[HKLM\\A]\n");
  }
  EXPECT_LE(Files().size(), 1u);
}

TEST_F(ReversalTest, KeepsTheFilePermissions) {
  Write("DORVALEX\n");
  chmod(path_.c_str(), 0640);
  ASSERT_TRUE(Reverse());
  struct stat info;
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

// Any prefix of a valid file (a run that stopped part way, or a write cut short) is reversed
// into a file made of whole records of the original only.
TEST_F(ReversalTest, EveryPrefixOfAValidFileReversesToWholeRecords) {
  const std::string full =
      "DORVALEX\n\nUPDATE:[HKLM\\A]\nUPDATE:\"x\"=\"1\"\nDELETE:@=\n"
      "\nDELETE:[HKLM\\B]\n\nUPDATE:[HKLM\\C]\nUPDATE:\"b\"=hex:01,02\n";
  for (size_t length = 0; length <= full.size(); ++length) {
    SCOPED_TRACE(length);
    Write(full.substr(0, length));
    bool reversed = Reverse();
    output_.Take();
    EXPECT_EQ(reversed, length >= 8 && full.compare(0, 8, "DORVALEX") == 0);
    if (!reversed) continue;
    std::istringstream lines(Read());
    std::string line;
    while (std::getline(lines, line)) {
      if (line.empty() || line == "DORVALEX") continue;
      EXPECT_NE(full.find("\n" + line + "\n"), std::string::npos) << line;
    }
    EXPECT_EQ(Files().size(), 1u);
  }
}

}  // namespace
