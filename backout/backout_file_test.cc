// How backout files are created. (That each record is on the file when its write returns and a
// full disk is reported once: the crash test and the black-box run control table.)
#include "backout/backout_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include "gtest/gtest.h"

namespace {

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
