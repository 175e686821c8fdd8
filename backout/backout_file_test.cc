// The checked backout writes: a record is on the file when Write returns, and a failed write
// is reported once, after which nothing more is written.
#include "backout/backout_file.h"

#include <unistd.h>

#include "gtest/gtest.h"
#include "testing/store_fixture.h"

namespace {

TEST(BackoutFileTest, EachWriteIsOnTheFileBeforeItReturns) {
  CaptureOutput output;
  char path[] = "/tmp/dx-backout-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  BackoutFile file;
  ASSERT_TRUE(file.Create(path, true));
  ASSERT_TRUE(file.Write("DORVALEX\n"));
  EXPECT_EQ(dx_testing::ReadWholeFile(path), "DORVALEX\n");
  ASSERT_TRUE(file.WriteF("\nDELETE:[%s]\n", "HKLM\\100%"));
  EXPECT_EQ(dx_testing::ReadWholeFile(path), "DORVALEX\n\nDELETE:[HKLM\\100%]\n");
  EXPECT_TRUE(file.Close());
  unlink(path);
  // A file that cannot be created is left for the caller to report.
  EXPECT_FALSE(file.Create("/nonexistent-folder/undo.txt", true));
  EXPECT_EQ(output.Take(), "");
}

TEST(BackoutFileTest, AFullDiskIsReportedOnceAndStopsEveryLaterWrite) {
  CaptureOutput output;
  BackoutFile file;
  ASSERT_TRUE(file.Create("/dev/full", true));
  EXPECT_FALSE(file.Write("DORVALEX\n"));
  EXPECT_TRUE(file.failed());
  EXPECT_FALSE(file.WriteF("UPDATE:\"%s\"=\"1\"\n", "x"));
  EXPECT_FALSE(file.Close());
  EXPECT_EQ(output.Take(), "***ERROR : Unable to Write Backout File \"/dev/full\"\n");
}

}  // namespace
