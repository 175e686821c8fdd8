// The reversal of a backout file: block and record order, what is dropped, and that the old
// file survives every failure with no temporary file left beside it.
#include "backout/reversal.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "testing/store_fixture.h"

namespace {

using dx_testing::ReadWholeFile;
using dx_testing::WriteWholeFile;

class ReversalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/dx-reversal-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    path_ = dir_ + "/undo.txt";
  }
  void TearDown() override {
    unlink(path_.c_str());
    EXPECT_EQ(rmdir(dir_.c_str()), 0) << "a file was left beside the backout file";
  }
  bool Reverse(const std::string& text) {
    WriteWholeFile(path_, text);
    return ReverseFile();
  }
  bool ReverseFile(const platform::FileId& createdAs = {}) {
    ScriptState state;
    return ReverseBackout(path_, createdAs, /*quiet=*/true, state);
  }

  std::string dir_;
  std::string path_;
  CaptureOutput output_;
};

// Blocks come newest first; within a block each value's records come newest first (whatever
// the case of its name), the values in the order of their first record.
TEST_F(ReversalTest, RewritesBlocksAndEachValuesRecordsLastFirst) {
  const std::pair<std::string, std::string> cases[] = {
      {"DORVALEX\n\nUPDATE:[HKLM\\SOFTWARE\\A]\nUPDATE:\"x\"=\"1\"\nUPDATE:\"y\"=\"2\"\n"
       "UPDATE:\"X\"=\"3\"\nDELETE:@=\n\nDELETE:[HKLM\\SOFTWARE\\B]\n",
       "DORVALEX\n\nDELETE:[HKLM\\SOFTWARE\\B]\n\nUPDATE:[HKLM\\SOFTWARE\\A]\n"
       "UPDATE:\"X\"=\"3\"\nUPDATE:\"x\"=\"1\"\nUPDATE:\"y\"=\"2\"\nDELETE:@=\n\n"},
      // the header word later in lower case; the /CHANGES comment dropped; a continued
      // record joined without its blanks
      {"junk words dorvalex\n\n; Backout file is only showing keys that are overwritten by "
       "applying IN\n\nUPDATE:[HKLM\\A]\nREMOVE:\"m\"=\"b\"\nUPDATE:\"b\"=hex:01,\\\n    02\n",
       "DORVALEX\n\nUPDATE:[HKLM\\A]\nREMOVE:\"m\"=\"b\"\nUPDATE:\"b\"=hex:01,02\n\n"},
      // lines end as in scripts: CR LF, and Ctrl-Z ends the file
      {"DORVALEX\r\n\r\nUPDATE:[HKLM\\A]\r\nUPDATE:\"a\"=\"1\"\r\n\x1aUPDATE:\"b\"=\"2\"\n",
       "DORVALEX\n\nUPDATE:[HKLM\\A]\nUPDATE:\"a\"=\"1\"\n\n"},
      // a line cut short at the end, and records before any header, are dropped
      {"DORVALEX\nUPDATE:\"stray\"=\"1\"\n\nUPDATE:[HKLM\\A]\nUPDATE:\"a\"=\"1\"\n"
       "UPDATE:\"b\"=hex:01,0",
       "DORVALEX\n\nUPDATE:[HKLM\\A]\nUPDATE:\"a\"=\"1\"\n\n"},
  };
  for (const auto& [before, after] : cases) {
    EXPECT_TRUE(Reverse(before)) << before;
    EXPECT_EQ(ReadWholeFile(path_), after);
  }
}

TEST_F(ReversalTest, FailuresLeaveTheFileAsItWas) {
  EXPECT_FALSE(Reverse("UPDATE:[HKLM\\A]\n"));
  EXPECT_EQ(output_.Take(), "***ERROR : Backup file is not a DORVALEX file type\n");
  EXPECT_EQ(ReadWholeFile(path_), "UPDATE:[HKLM\\A]\n");
  if (geteuid() != 0) {  // a folder that is not writable: no temporary file can be made
    WriteWholeFile(path_, "DORVALEX\n\nDELETE:[HKLM\\A]\n");
    chmod(dir_.c_str(), 0500);
    EXPECT_FALSE(ReverseFile());
    chmod(dir_.c_str(), 0700);
    EXPECT_EQ(output_.Take(), "***ERROR : Unable to Create Backout File\n");
    EXPECT_EQ(ReadWholeFile(path_), "DORVALEX\n\nDELETE:[HKLM\\A]\n");
  }
  chmod(path_.c_str(), 0640);  // a reversed file keeps its permissions
  ASSERT_TRUE(Reverse("DORVALEX\n"));
  EXPECT_EQ(ReadWholeFile(path_), "DORVALEX\n\n");
  struct stat info;
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  // Through a link the file it names is rewritten and the link stays a link.
  const std::string target = dir_ + "/target.txt";
  rename(path_.c_str(), target.c_str());
  ASSERT_EQ(symlink("target.txt", path_.c_str()), 0);
  ASSERT_TRUE(Reverse("DORVALEX\n\nUPDATE:[HKLM\\A]\nUPDATE:\"a\"=\"1\"\n"));
  EXPECT_EQ(ReadWholeFile(target), "DORVALEX\n\nUPDATE:[HKLM\\A]\nUPDATE:\"a\"=\"1\"\n\n");
  ASSERT_EQ(lstat(path_.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  unlink(path_.c_str());
  // A file swapped in under the name after the run created its own is never replaced.
  platform::FileId created;
  ASSERT_TRUE(platform::IdentifyFile(target, &created));
  WriteWholeFile(path_, "DORVALEX\n\nDELETE:[HKLM\\A]\n");
  EXPECT_FALSE(ReverseFile(created));
  EXPECT_EQ(output_.Take(), "***ERROR : Unable to Write Backout File \"" + path_ + "\"\n");
  EXPECT_EQ(ReadWholeFile(path_), "DORVALEX\n\nDELETE:[HKLM\\A]\n");
  unlink(target.c_str());
  unlink(path_.c_str());
  EXPECT_FALSE(ReverseFile());
  EXPECT_EQ(output_.Take(), "***ERROR : Unable to open Backup File\n");
}

// The rewrite reads the file back by position, a block at a time: a file of 32 MiB is
// reversed in a child whose address space may grow by only 16 MiB.
TEST_F(ReversalTest, MemoryDoesNotGrowWithTheFile) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer reserves far more address space";
#endif
  std::string text = "DORVALEX\n";
  for (int block = 0; text.size() < (32 << 20); ++block) {
    text += "\nUPDATE:[HKLM\\SOFTWARE\\K" + std::to_string(block) + "]\n";
    for (int i = 0; i < 100; ++i) text += "UPDATE:\"v" + std::to_string(i % 7) + "\"=\"x\"\n";
  }
  WriteWholeFile(path_, text);
  const std::string last = text.substr(text.rfind("\nUPDATE:[") + 1, 30);
  text = std::string();
  const pid_t child = fork();
  if (child == 0) {
    size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t size = pages * sysconf(_SC_PAGESIZE) + (16 << 20);
    const rlimit limit{size, size};
    bool reversed = false;
    try {
      ScriptState state;
      reversed = setrlimit(RLIMIT_AS, &limit) == 0 && ReverseBackout(path_, {}, true, state);
    } catch (...) {  // out of memory: the child must not go on as the test program
    }
    _exit(reversed ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadWholeFile(path_).substr(0, 40), "DORVALEX\n\n" + last);
}

}  // namespace
