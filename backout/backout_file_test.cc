// The checked backout writes: a record is on the file when Write returns, and a failed write
// is reported once, after which nothing more is written.
#include "backout/backout_file.h"

#include <sys/stat.h>
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
  ASSERT_TRUE(file.Write("\nDELETE:[HKLM\\100%]\n"));
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
  EXPECT_FALSE(file.Write("UPDATE:\"x\"=\"1\"\n"));
  EXPECT_FALSE(file.Close());
  EXPECT_EQ(output.Take(), "***ERROR : Unable to Write Backout File \"/dev/full\"\n");
}

// Backout files hold registry data: created private whatever the umask, an existing name
// refused unless overwriting, and never written through another user's link.
TEST(BackoutFileTest, CreatesPrivateFilesAndFollowsNoStrangersLink) {
  char folder[] = "/tmp/dx-backout-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string dir = folder, path = dir + "/undo.txt", link = dir + "/link.txt";
  const mode_t mask = umask(0);
  BackoutFile file;
  ASSERT_TRUE(file.Create(path, false));
  umask(mask);
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_TRUE(file.Close());
  EXPECT_FALSE(file.Create(path, false));
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  EXPECT_FALSE(file.Create(link, false));
  EXPECT_TRUE(file.Create(link, true) && file.Close());  // our own link is followed
  if (geteuid() == 0 && lchown(link.c_str(), 65534, 65534) == 0) {
    EXPECT_FALSE(file.Create(link, true));
  }
  unlink(link.c_str());
  unlink(path.c_str());
  rmdir(folder);
}

}  // namespace
