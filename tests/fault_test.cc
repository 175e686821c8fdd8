// Faults from the outside: a full disk under the backout file or under the store, a store file
// that cannot be read or is not a store, a store kept by another process, two runs at once.
// A fault must end the run with a report and exit code 1, leave the store whole, and leave
// every change in it undone by the backout file; two runs at once must both complete.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <string>

#include "backout/reversal.h"
#include "script/script_state.h"
#include "tests/blackbox.h"

namespace {

// Keys HKLM\SOFTWARE\F\K<k>, each with `values` values holding `tag` and `size` bytes.
std::string Script(const std::string& tag, int keys, int values, int size) {
  std::string script = "DORVALEX\n";
  for (int k = 0; k < keys; ++k) {
    script += "UPDATE:[HKLM\\SOFTWARE\\F\\K" + std::to_string(k) + "]\n";
    for (int v = 0; v < values; ++v) {
      script += "UPDATE:\"v" + std::to_string(v) + "\"=\"" + tag + " " + std::to_string(k) + " " +
                std::string(size, 'x') + "\"\n";
    }
  }
  return script;
}

// The seeded store the fault cases start from: 200 keys of 20 values, about 400 KiB.
std::string Seed(const BlackBox& box) {
  box.WriteFile("seed.txt", Script("old", 200, 20, 40));
  EXPECT_EQ(box.Run({"/REG:seed.txt"}).exitCode, 0);
  return box.DumpStore();
}

// A script that changes every seeded value, deletes some, adds keys and deletes one.
std::string ChangeScript(const std::string& tag) {
  std::string script = Script(tag, 200, 20, 40);
  for (int k = 0; k < 200; k += 7) {
    script += "UPDATE:[HKLM\\SOFTWARE\\F\\K" + std::to_string(k) + "]\nDELETE:\"v3\"=\n" +
              "UPDATE:[HKLM\\SOFTWARE\\F\\" + tag + std::to_string(k) + "]\nUPDATE:\"n\"=\"1\"\n";
  }
  return script + "DELETE:[HKLM\\SOFTWARE\\F\\K199]\n";
}

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs `command` with sh in the box's folder, as BlackBox::Run runs the tool itself.
RunResult RunShell(const BlackBox& box, const std::string& command) {
  std::string line = "cd " + Quoted(box.PathOf("")) + " && (" + command + ") >shell.out " +
                     "2>shell.err </dev/null";
  int status = std::system(line.c_str());
  RunResult result;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.output = box.ReadFile("shell.out").value_or("");
  result.errors = box.ReadFile("shell.err").value_or("");
  EXPECT_EQ(result.errors.find("Sanitizer"), std::string::npos) << result.errors;
  EXPECT_EQ(result.errors.find("runtime error:"), std::string::npos) << result.errors;
  return result;
}

// Runs `commands` in a private mount namespace with a tmpfs of `size` on mnt/, saving every 64
// lines so that some batches reach the store before the disk fills. False when this machine
// does not let a test mount one.
bool RunOnTmpfs(const BlackBox& box, const std::string& size, const std::string& commands,
                RunResult* run) {
  if (geteuid() != 0 ||
      RunShell(box, "mkdir -p mnt && unshare -m mount -t tmpfs -o size=64k tmpfs mnt").exitCode) {
    return false;
  }
  *run = RunShell(box, "DORVALEX_SAVE_LINES=64 unshare -m sh -c " +
                           Quoted("mount -t tmpfs -o size=" + size + " tmpfs mnt && " + commands));
  return true;
}

// The store after a failed run is whole and holds some changes, and the backout file, reversed
// (a line cut short by the fault dropped) and applied, gives back `start`.
void ExpectUndoneBy(const BlackBox& box, const std::string& undo, const std::string& start) {
  sqlite3* db = nullptr;
  std::string check;
  ASSERT_EQ(sqlite3_open(box.storePath().c_str(), &db), SQLITE_OK);
  auto append = [](void* text, int, char** values, char**) {
    *static_cast<std::string*>(text) += values[0] ? values[0] : "NULL";
    return 0;
  };
  sqlite3_exec(db, "PRAGMA integrity_check", append, &check, nullptr);
  sqlite3_close(db);
  EXPECT_EQ(check, "ok");
  ASSERT_NE(box.DumpStore(), start) << "the disk filled before any change was saved";
  ScriptState state;
  ASSERT_TRUE(ReverseBackout(box.PathOf(undo), {}, /*quiet=*/true, state));
  RunResult run = box.Run({"/REG:" + undo});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(box.DumpStore(), start);
}

TEST(FaultTest, FullDiskUnderTheBackoutFileKeepsARecordForEveryChange) {
  BlackBox box;
  const std::string start = Seed(box);
  box.WriteFile("change.txt", ChangeScript("new"));
  // A disk that fills part way through the run (/dev/full, full at once: the run control tests).
  RunResult run;
  if (!RunOnTmpfs(box, "64k",
                  "DORVALEX_REGISTRY=" + Quoted(box.storePath()) + " " + Quoted(DorvalexBinary()) +
                      " /REG:change.txt /BACKUP:mnt/undo.txt /NOREVERSE; rc=$?; "
                      "cp mnt/undo.txt undo.txt; exit $rc",
                  &run)) {
    GTEST_SKIP() << "no tmpfs in a private mount namespace here";
  }
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("***ERROR : Unable to Write Backout File \"mnt/undo.txt\"\n"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("***ERROR : Registry changes after line "), std::string::npos);
  ExpectUndoneBy(box, "undo.txt", start);
}

TEST(FaultTest, FullDiskUnderTheStoreLosesNoRecord) {
  BlackBox box;
  const std::string start = Seed(box);
  struct stat info;
  ASSERT_EQ(stat(box.storePath().c_str(), &info), 0);
  box.WriteFile("grow.txt", Script("grown", 300, 20, 200));
  // Room for the store and a little more than a few batches of the bigger values.
  RunResult run;
  if (!RunOnTmpfs(box, std::to_string(info.st_size / 1024 + 256) + "k",
                  "cp store/registry.db mnt/ && DORVALEX_REGISTRY=mnt/registry.db " +
                      Quoted(DorvalexBinary()) + " /REG:grow.txt /BACKUP:undo.txt /NOREVERSE; "
                      "rc=$?; rm -f store/registry.db-*; cp mnt/registry.db store/; "
                      "[ ! -e mnt/registry.db-wal ] || cp mnt/registry.db-wal store/; exit $rc",
                  &run)) {
    GTEST_SKIP() << "no tmpfs in a private mount namespace here";
  }
  EXPECT_EQ(run.exitCode, 1);
  // Reported once, where the save failed.
  size_t report = run.output.find(
      "were not saved\n         : (112)There is not enough space on the disk.\n");
  EXPECT_NE(report, std::string::npos) << run.output;
  EXPECT_EQ(report, run.output.rfind("were not saved")) << run.output;
  ExpectUndoneBy(box, "undo.txt", start);
}

TEST(FaultTest, AStoreThatCannotBeReadIsLeftAsItIs) {
  BlackBox box;
  Seed(box);
  box.WriteFile("in.txt", "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\F\\K1]\nUPDATE:\"v1\"=\"2\"\n");
  const std::string good = *box.ReadFile(box.storePath());
  const std::string message =
      "***ERROR : Unable to open Registry Store \"" + box.storePath() + "\"\n         : (";
  // Not a store at all, and a store cut short: refused at the header and inside the file.
  std::string noise;
  for (size_t i = 0; i < good.size() / 2; ++i) noise += static_cast<char>(i * 7919 % 251);
  for (const std::string& content : {noise, good.substr(0, good.size() / 2)}) {
    for (const char* mode : {"/VERBOSE", "/NOACTION"}) {
      SCOPED_TRACE(std::string(mode) + (content == noise ? " noise" : " cut"));
      box.WriteFile(box.storePath(), content);
      RunResult run = box.Run({"/REG:in.txt", "/BACKUP:undo.txt", "/OVERWRITE", mode});
      EXPECT_NE(run.output.find(message + "1009)The configuration registry database is corrupt.\n"),
                std::string::npos);
      EXPECT_EQ(run.exitCode, 1);
      EXPECT_EQ(box.ReadFile(box.storePath()), content);
      EXPECT_EQ(box.ReadFile("undo.txt"), "DORVALEX\n\n");
    }
  }

  // No read permission: root reads anything, so root runs the tool as nobody.
  box.WriteFile(box.storePath(), good);
  ASSERT_EQ(chmod(box.storePath().c_str(), 0), 0);
  ASSERT_EQ(chmod(box.PathOf("").c_str(), 0755) | chmod(box.PathOf("store").c_str(), 0755), 0);
  RunResult run = RunShell(
      box, "DORVALEX_REGISTRY=" + Quoted(box.storePath()) +
               (geteuid() ? " " : " setpriv --reuid=65534 --regid=65534 --clear-groups ") +
               Quoted(DorvalexBinary()) + " /REG:in.txt");
  EXPECT_EQ(run.output, kBanner + message + "5)Access is denied.\n");
  EXPECT_EQ(run.exitCode, 1);
  ASSERT_EQ(chmod(box.storePath().c_str(), 0644), 0);
  EXPECT_EQ(box.ReadFile(box.storePath()), good);
}

TEST(FaultTest, AStoreKeptByAnotherProcessPastTheWaitStopsTheRunBeforeItsFirstLine) {
  BlackBox box;
  const std::string start = Seed(box);
  box.WriteFile("change.txt", ChangeScript("new"));
  // A writer that holds the store's write lock.
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open(box.storePath().c_str(), &writer), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(writer, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  RunResult run = box.Run({"/REG:change.txt", "/BACKUP:undo.txt", "/OVERWRITE"},
                          {{"DORVALEX_STORE_WAIT", "0.5"}});
  sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(writer);
  EXPECT_EQ(run.output, kBanner + "***ERROR : Registry Store \"" + box.storePath() +
                            "\" is in use by another run\n"
                            "         : (170)The requested resource is in use.\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(box.ReadFile("undo.txt"), "DORVALEX\n\n");
  EXPECT_EQ(box.DumpStore(), start);
}

// A pipe is neither synced to a disk nor read back to be reversed.
TEST(FaultTest, ABackoutFileThatIsAPipeTakesTheRecordsAsTheyCome) {
  BlackBox box;
  box.SetString("HKLM\\SOFTWARE\\F\\K1", "v1", "old");
  box.WriteFile("in.txt", "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\F\\K1]\nUPDATE:\"v1\"=\"2\"\n");
  RunResult run =
      RunShell(box, "mkfifo pipe && { timeout 20 cat pipe >got.txt & } && DORVALEX_REGISTRY=" +
                        Quoted(box.storePath()) + " timeout 20 " + Quoted(DorvalexBinary()) +
                        " /REG:in.txt /BACKUP:pipe /OVERWRITE; rc=$?; wait; exit $rc");
  EXPECT_EQ(run.output, kBanner + "in.txt was applied.\n");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(box.ReadFile("got.txt"),
            "DORVALEX\n\nUPDATE:[HKLM\\SOFTWARE\\F\\K1]\nUPDATE:\"v1\"=\"old\"\n");
}

TEST(FaultTest, TwoRunsAtOnceGiveOneSerialOrderAndBothBackoutsUndoIt) {
  std::string serial[2];  // [0]: A then B; [1]: B then A
  for (int order = 0; order < 2; ++order) {
    BlackBox box;
    Seed(box);
    for (const char* tag : {order ? "B" : "A", order ? "A" : "B"}) {
      box.WriteFile("in.txt", ChangeScript(tag));
      ASSERT_EQ(box.Run({"/REG:in.txt"}).exitCode, 0);
    }
    serial[order] = box.DumpStore();
  }
  ASSERT_NE(serial[0], serial[1]);

  BlackBox box;
  const std::string start = Seed(box);
  box.WriteFile("a.txt", ChangeScript("A"));
  box.WriteFile("b.txt", ChangeScript("B"));
  auto a = std::async(std::launch::async, [&] {
    return box.Run({"/REG:a.txt", "/BACKUP:ua.txt"});
  });
  RunResult b = box.Run({"/REG:b.txt", "/BACKUP:ub.txt"});
  RunResult aRun = a.get();
  EXPECT_EQ(aRun.exitCode, 0) << aRun.output;
  EXPECT_EQ(b.exitCode, 0) << b.output;
  const std::string both = box.DumpStore();
  ASSERT_TRUE(both == serial[0] || both == serial[1]);
  // The run that completed last is undone first.
  const bool aFirst = both == serial[0];
  for (const char* undo : {aFirst ? "ub.txt" : "ua.txt", aFirst ? "ua.txt" : "ub.txt"}) {
    RunResult run = box.Run({std::string("/REG:") + undo});
    EXPECT_EQ(run.exitCode, 0) << run.output;
  }
  EXPECT_EQ(box.DumpStore(), start);
}

}  // namespace
