// Files that others can reach, from the outside: a hostile local user (nobody, in a folder of
// its own inside the box) swaps names under a root run, takes locks, plants links; the run's
// files are private whatever the umask; names that would break backout records are refused.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/blackbox.h"

namespace {

using namespace std::string_literals;

constexpr uid_t kNobody = 65534;

// Runs `command` with sh as the unprivileged user, in the box's folder.
int RunAsNobody(const BlackBox& box, const std::string& command) {
  return std::system(("cd '" + box.PathOf("") + "' && setpriv --reuid=65534 --regid=65534 " +
                      "--clear-groups sh -c '" + command + "'")
                         .c_str());
}

// A folder "drop" owned by nobody inside the box, which nobody may reach.
bool MakeDropFolder(const BlackBox& box) {
  return chmod(box.PathOf("").c_str(), 0711) == 0 && mkdir(box.PathOf("drop").c_str(), 0755) == 0 &&
         chown(box.PathOf("drop").c_str(), kNobody, kNobody) == 0;
}

int ModeOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

// A script long enough that the attacker acts while it runs.
std::string LongScript() {
  std::string script = "DORVALEX\n";
  for (int i = 0; i < 20000; ++i) {
    script += "UPDATE:[HKLM\\SOFTWARE\\A" + std::to_string(i) + "]\nUPDATE:\"v\"=\"x\"\n";
  }
  return script;
}

#define SKIP_UNLESS_ROOT() \
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user"

// While a root run writes drop/undo.txt, nobody (who owns drop) moves it away and puts a link
// to a root-only file, or a file of its own, under its name. The rewrite replaces only the
// file the run created: it refuses, and neither the target nor the moved file is touched.
TEST(FileSafetyTest, BackoutRewriteNeverWritesAFileSwappedInDuringTheRun) {
  SKIP_UNLESS_ROOT();
  const struct {
    const char* swapIn;
    bool overwrite;
  } cases[] = {
      {"ln -s ../victim drop/undo.txt", false},
      {"ln -s ../victim drop/undo.txt", true},
      {"echo mine > drop/undo.txt", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.swapIn);
    BlackBox box;
    ASSERT_TRUE(MakeDropFolder(box));
    box.WriteFile("victim", "root only\n");
    box.WriteFile("in.txt", LongScript());
    if (c.overwrite) {
      ASSERT_EQ(RunAsNobody(box, "echo old > drop/undo.txt"), 0);
    }
    bool swapped = false;
    std::vector<std::string> args = {"/REG:in.txt", "/BACKUP:drop/undo.txt"};
    if (c.overwrite) args.push_back("/OVERWRITE");
    RunResult run = box.Run(args, {}, 120, [&] {
          if (!swapped && box.ReadFile("drop/undo.txt").value_or("").starts_with("DORVALEX")) {
            swapped = RunAsNobody(box, "mv drop/undo.txt drop/kept && "s + c.swapIn) == 0;
          }
          return false;
        });
    ASSERT_TRUE(swapped);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("***ERROR : Unable to Write Backout File \"drop/undo.txt\"\n"),
              std::string::npos) << run.output;
    EXPECT_EQ(box.ReadFile("victim"), "root only\n");
    EXPECT_TRUE(box.ReadFile("drop/kept").value_or("").starts_with("DORVALEX\n"));
    EXPECT_FALSE(box.FileExists("drop/undo.txt.dorvalex-tmp"));
  }
}

// HKU_backup.reg is created before the HKLM walk: a link nobody plants under that name during
// the walk (after removing the file from its own folder) is never written through, also with
// /OVERWRITE; and a backup file that would be the store is refused.
TEST(FileSafetyTest, FullBackupOpensBothFilesFirstAndNeverTheStore) {
  SKIP_UNLESS_ROOT();
  {
    BlackBox box;  // the backup is written in the box's folder, which nobody is given
    std::string keys = "DORVALEX\n";
    for (int i = 0; i < 20000; ++i) keys += "UPDATE:[HKLM\\SOFTWARE\\K" + std::to_string(i) + "]\n";
    box.WriteFile("keys.txt", keys);
    ASSERT_EQ(box.Run({"/REG:keys.txt"}).exitCode, 0);
    box.WriteFile("store/victim", "root only\n");
    ASSERT_EQ(chown(box.PathOf("").c_str(), kNobody, kNobody), 0);
    bool planted = false;
    RunResult run = box.Run({"/REGBACKUP", "/OVERWRITE"}, {}, 120, [&] {
      if (!planted && box.FileExists("HKLM_backup.reg")) {
        planted = RunAsNobody(box, "rm -f HKU_backup.reg; ln -s store/victim HKU_backup.reg") == 0;
      }
      return false;
    });
    EXPECT_TRUE(planted);
    EXPECT_EQ(box.ReadFile("store/victim"), "root only\n");
  }
  BlackBox box;
  box.SetDword("HKLM\\SOFTWARE\\K", "v", 1);
  const std::string store = box.DumpStore();
  RunResult run = box.Run({"/REGBACKUP", "/OVERWRITE"},
                          {{"DORVALEX_REGISTRY", box.PathOf("HKU_backup.reg")}});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("***ERROR : Backout File \"HKU_backup.reg\" is the Registry Store\n"),
            std::string::npos) << run.output;
  EXPECT_FALSE(box.FileExists("HKLM_backup.reg"));
}

// /BACKUP naming a file SQLite keeps beside the store (which it would delete or rewrite) is
// refused as the store itself is, before anything is created or changed.
TEST(FileSafetyTest, BackoutFileNamingAStoreCompanionIsRefused) {
  for (const char* suffix : {"-wal", "-shm", "-journal", ".lock"}) {
    SCOPED_TRACE(suffix);
    BlackBox box;
    box.SetDword("HKLM\\SOFTWARE\\K", "v", 1);
    const std::string before = box.DumpStore();
    box.WriteFile("in.txt", "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\K]\nUPDATE:\"v\"=\"x\"\n");
    const std::string backout = box.storePath() + suffix;
    RunResult run = box.Run({"/REG:in.txt", "/BACKUP:" + backout});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output,
              "***ERROR : Backout File \"" + backout + "\" is the Registry Store\n") << run.output;
    EXPECT_EQ(box.DumpStore(), before);
  }
}

// With the umask letting everyone read, the store's folder, the store, its log and lock, the
// backout file before and after its rewrite (also one that replaced a file with /OVERWRITE),
// and the full-backup files are private.
TEST(FileSafetyTest, FilesHoldingTheRegistryArePrivateWhateverTheUmask) {
  BlackBox box;
  box.WriteFile("in.txt", LongScript());
  const mode_t previous = umask(0);
  int walMode = -1;
  RunResult run = box.Run({"/REG:in.txt", "/BACKUP:undo.txt"}, {}, 120, [&] {
    if (walMode < 0) walMode = ModeOf(box.storePath() + "-wal");
    const int undoMode = ModeOf(box.PathOf("undo.txt"));
    EXPECT_TRUE(undoMode < 0 || undoMode == 0600) << undoMode;
    return false;
  });
  RunResult backup = box.Run({"/REGBACKUP"});
  // An existing backout file given with /OVERWRITE (readable to all, another user's when run
  // as root, with a second name) gives way to a file of the run's; its other name keeps it.
  const std::string old = box.PathOf("old.txt");
  box.WriteFile("old.txt", "old\n");
  ASSERT_EQ(chmod(old.c_str(), 0644) | link(old.c_str(), box.PathOf("other.txt").c_str()) |
                (geteuid() == 0 ? chown(old.c_str(), kNobody, kNobody) : 0),
            0);
  box.WriteFile("small.txt", "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\K]\nUPDATE:\"v\"=\"y\"\n");
  RunResult overwrite = box.Run({"/REG:small.txt", "/BACKUP:old.txt", "/OVERWRITE"});
  umask(previous);
  EXPECT_EQ(overwrite.exitCode, 0) << overwrite.output;
  EXPECT_EQ(box.ReadFile("other.txt"), "old\n");
  struct stat info;
  ASSERT_EQ(stat(old.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, geteuid());
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(backup.exitCode, 0) << backup.output;
  EXPECT_EQ(walMode, 0600);
  const std::string folder = box.storePath().substr(0, box.storePath().rfind('/'));
  for (const std::string& path : {box.storePath(), box.storePath() + ".lock", old,
                                  box.PathOf("undo.txt"), box.PathOf("HKLM_backup.reg"),
                                  box.PathOf("HKU_backup.reg")}) {
    EXPECT_EQ(ModeOf(path), 0600) << path;
  }
  EXPECT_EQ(ModeOf(folder), 0700);
}

// nobody may read an older store made readable to all, and holds a lock on it: root's run
// neither waits nor fails, since the run lock is on a file only a writer can open.
TEST(FileSafetyTest, AReaderOfTheStoreCannotHoldRunsUp) {
  SKIP_UNLESS_ROOT();
  BlackBox box;
  box.SetDword("HKLM\\SOFTWARE\\K", "v", 1);
  const std::string folder = box.storePath().substr(0, box.storePath().rfind('/'));
  ASSERT_EQ(chmod(box.PathOf("").c_str(), 0711) | chmod(folder.c_str(), 0755) |
                chmod(box.storePath().c_str(), 0644),
            0);
  ASSERT_NE(RunAsNobody(box, "flock -n store/registry.db.lock true"), 0);  // cannot even open
  FILE* holder = popen(("cd '" + box.PathOf("") + "' && exec setpriv --reuid=65534 " +
                        "--regid=65534 --clear-groups flock store/registry.db " +
                        "sh -c 'echo $$; exec sleep 30'").c_str(), "r");
  ASSERT_NE(holder, nullptr);
  char pid[32] = {};
  ASSERT_NE(fgets(pid, sizeof pid, holder), nullptr);
  box.WriteFile("in.txt", "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\K]\nUPDATE:\"v\"=\"x\"\n");
  RunResult run = box.Run({"/REG:in.txt"}, {{"DORVALEX_STORE_WAIT", "1"}});
  kill(std::atoi(pid), SIGTERM);
  pclose(holder);
  EXPECT_EQ(run.exitCode, 0) << run.output;
}

// A temporary file left by a rewrite that was killed is removed by the next rewrite of the
// same backout file.
TEST(FileSafetyTest, StaleRewriteFileOfTheSameBackoutIsRemoved) {
  BlackBox box;
  box.WriteFile("undo.txt.dorvalex-tmp", std::string(100000, 'x'));
  box.WriteFile("in.txt", "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\K]\nUPDATE:\"v\"=\"x\"\n");
  RunResult run = box.Run({"/REG:in.txt", "/BACKUP:undo.txt"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_FALSE(box.FileExists("undo.txt.dorvalex-tmp"));
  EXPECT_TRUE(box.ReadFile("undo.txt").value_or("").starts_with("DORVALEX\n"));
}

// A script named with a line feed cannot add records through the /CHANGES comment, and a value
// whose name holds one (only a raw agent can make it) stops the deletion of its key instead of
// being written as a record that would read back as something else.
TEST(FileSafetyTest, LineBreaksInNamesNeverBecomeRecords) {
  BlackBox box;
  box.SetDword("HKLM\\SOFTWARE\\Keep", "v", 1);
  const std::string script = "in\nDELETE:[HKLM\\SOFTWARE\\Keep]\n.txt";
  box.WriteFile(script, "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\K]\nUPDATE:\"v\"=\"x\"\n");
  RunResult run = box.Run({"/REG:" + script, "/BACKUP:undo.txt", "/CHANGES", "/NOREVERSE"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  const std::string undo = box.ReadFile("undo.txt").value_or("");
  EXPECT_EQ(undo.find("\nDELETE:[HKLM\\SOFTWARE\\Keep]"), std::string::npos) << undo;
  EXPECT_NE(undo.find("applying in\\x0ADELETE:[HKLM\\SOFTWARE\\Keep]\\x0A.txt\n"), std::string::npos)
      << undo;

  box.SetValue("HKLM\\SOFTWARE\\Odd", "a\nUPDATE:\"b\"", 1, "x\0"s);
  const std::string before = box.DumpStore();
  box.WriteFile("del.txt", "DORVALEX\nDELETE:[HKLM\\SOFTWARE\\Odd]\n");
  run = box.Run({"/REG:del.txt", "/BACKUP:undo2.txt"});
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_NE(run.output.find("Could not get Key information for \"HKLM\\SOFTWARE\\Odd\""),
            std::string::npos) << run.output;
  EXPECT_EQ(box.DumpStore(), before);
}

}  // namespace
