// The checked backout writes: a record is on the file when Write returns, and a failed write
// is reported once, after which nothing more is written.
#include "backout/backout_file.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

#include "gtest/gtest.h"
#include "testing/capture_output.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(BackoutFileTest, EachWriteIsOnTheFileBeforeItReturns) {
  char path[] = "/tmp/dx-backout-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  BackoutFile file;
  ASSERT_TRUE(file.Create(path));
  EXPECT_TRUE(file.IsOpen());
  ASSERT_TRUE(file.Write("DORVALEX\n"));
  EXPECT_EQ(ReadFile(path), "DORVALEX\n");
  ASSERT_TRUE(file.WriteF("\nDELETE:[%s]\n", "HKLM\\100%"));
  EXPECT_EQ(ReadFile(path), "DORVALEX\n\nDELETE:[HKLM\\100%]\n");
  EXPECT_TRUE(file.Close());
  EXPECT_FALSE(file.IsOpen());
  unlink(path);
}

TEST(BackoutFileTest, AFullDiskIsReportedOnceAndStopsEveryLaterWrite) {
  CaptureOutput output;
  BackoutFile file;
  ASSERT_TRUE(file.Create("/dev/full"));
  EXPECT_FALSE(file.Write("DORVALEX\n"));
  EXPECT_TRUE(file.failed());
  EXPECT_EQ(output.Take(), "***ERROR : Unable to Write Backout File \"/dev/full\"\n");
  EXPECT_FALSE(file.WriteF("UPDATE:\"%s\"=\"1\"\n", "x"));
  EXPECT_FALSE(file.Close());
  EXPECT_EQ(output.Take(), "");
}

TEST(BackoutFileTest, CreateFailsSilentlyForTheCallerToWord) {
  CaptureOutput output;
  BackoutFile file;
  EXPECT_FALSE(file.Create("/nonexistent-folder/undo.txt"));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(output.Take(), "");
}

}  // namespace
