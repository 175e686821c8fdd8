// Crash consistency: dorvalex killed with SIGKILL at a random moment of a run with /BACKUP:
// must leave a store that passes SQLite's integrity check (or hives that libregf and hivex
// read) and holds exactly the changes of the first k lines of the script, every one of them
// with its records in the backout file; that file, reversed and applied, must bring the store
// back to where it started. A run that ends before the kill must pass the same checks with
// k = all lines. The states after each line come from applying the same script in this
// process (scripts: tests/script_generator.h). DX_CRASH_SEED=<seed> runs one seed;
// DX_CRASH_SECONDS bounds the test's time (60 s); DX_BLACKBOX_STORE=hive runs on hive files.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "ops/run_settings.h"
#include "backout/backout_file.h"
#include "backout/reversal.h"
#include "ops/operations.h"
#ifdef DX_HAVE_HIVE
#include "registry/hive/hive_store.h"
#endif
#include "registry/sqlite/sqlite_registry.h"
#include "ops/key_path.h"
#include "registry/win32_codes.h"
#include "script/script_reader.h"
#include "testing/capture_output.h"
#include "testing/hive_files.h"
#include "testing/registry_dump.h"
#include "tests/blackbox.h"
#include "tests/script_generator.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kScriptLines = 2000;
constexpr int kKillsPerSeed = 60;  // then the next seed, unless one seed was asked for

// The store's digest: one part for the store, one per hive of a Windows folder. Each hive
// file is saved on its own: a kill may find one hive some lines further on than another.
using Digest = std::vector<size_t>;
Digest DigestOf(RegistryService& store) {
  auto hash = std::hash<std::string>{};
  if (!HiveStoreUnderTest()) return {hash(DumpRegistry(store, ValueOrder::kByName))};
  Digest parts;
  char name[256];
  for (KeyHandle root : {kHkeyLocalMachine, kHkeyUsers}) {
    for (uint32_t i = 0; store.RegEnumKeyA(root, i, name, sizeof name) == kErrorSuccess; ++i)
      parts.push_back(hash(DumpRegistryKey(store, root, name, name, ValueOrder::kByName)));
  }
  return parts;
}

size_t FileSize(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<size_t>(info.st_size) : 0;
}

// The run after its first k lines (k = 0: the start): the store's digest, the bytes of the
// backout file those lines wrote, and where the k-th line is in the script file.
struct Step {
  Digest digest;
  size_t backoutSize;
  int lineNumber;
};

// Passes every line on to the operations, then calls `note`.
class LineRecorder final : public OperationHandlers {
 public:
  LineRecorder(OperationHandlers& ops, std::function<void()> note)
      : ops_(ops), note_(std::move(note)) {}
  bool UpdateKey(std::string_view text) override { return Note(ops_.UpdateKey(text)); }
  bool UpdateValue(std::string_view text) override { return Note(ops_.UpdateValue(text)); }
  bool DeleteKey(std::string_view text) override { return Note(ops_.DeleteKey(text)); }
  bool DeleteValue(std::string_view text) override { return Note(ops_.DeleteValue(text)); }
  bool AppendString(std::string_view text) override { return Note(ops_.AppendString(text)); }
  bool PrependString(std::string_view text) override { return Note(ops_.PrependString(text)); }
  bool RemoveString(std::string_view text) override { return Note(ops_.RemoveString(text)); }
  bool ReplaceString(std::string_view text) override { return Note(ops_.ReplaceString(text)); }

 private:
  bool Note(bool ok) {
    note_();
    return ok;
  }
  OperationHandlers& ops_;
  std::function<void()> note_;
};

// Turns the backout file last-first, as run control does after a run.
bool Reverse(const std::string& path) {
  CaptureOutput output;
  ScriptState state;
  const bool ok = ReverseBackout(path, {}, /*quiet=*/true, state);
  EXPECT_TRUE(ok) << output.text();
  return ok;
}

// Waits until every process listed in `pidFile` has ended (or is a zombie nobody reaps).
bool AgentsEnded(const std::string& pidFile) {
  std::ifstream pids(pidFile);
  for (std::string pid; std::getline(pids, pid);) {
    for (int waited = 0;; waited += 10) {
      std::ifstream stat("/proc/" + pid + "/stat");
      std::string line;
      if (!std::getline(stat, line)) break;
      size_t close = line.rfind(')');
      if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z') break;
      if (waited > 30000) return false;
      usleep(10 * 1000);
    }
  }
  std::remove(pidFile.c_str());
  return true;
}

// SQLite's verdict on the store file: "ok" when sound. For a Windows folder, "ok" when
// libregf and hivex read each of its hives whole.
std::string IntegrityCheck(const std::string& path) {
#ifdef DX_HAVE_HIVE
  if (HiveStoreUnderTest()) {
    std::string verdict;
    for (const auto& entry : fs::recursive_directory_iterator(path)) {
      if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
        verdict += dx_testing::ReaderComplaints(entry.path().string());
    }
    return verdict.empty() ? "ok" : verdict;
  }
#endif
  sqlite3* db = nullptr;
  sqlite3_stmt* check = nullptr;
  std::string verdict;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr) != SQLITE_OK)
    verdict = sqlite3_errmsg(db);
  while (check && sqlite3_step(check) == SQLITE_ROW)
    verdict += reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
  sqlite3_finalize(check);
  sqlite3_close(db);
  return verdict;
}

// Copies the store file (or the Windows folder) at `from` over `to`.
void CopyStore(const std::string& from, const std::string& to) {
  fs::remove_all(to);
  fs::copy(from, to, fs::copy_options::recursive);
}

std::unique_ptr<RegistryService> OpenStoreAt(const std::string& path) {
#ifdef DX_HAVE_HIVE
  if (HiveStoreUnderTest()) return OpenHiveRegistry(path);
#endif
  return OpenSqliteRegistry(path);
}

class CrashCase {
 public:
  // With `remote`, the runs change the store through the agent (/MACHINE: over the tests'
  // transport), which saves only when the tool says the records are safe.
  CrashCase(uint32_t seed, bool remote) : random_(seed), remote_(remote) {
    bool regedit4 = seed % 3 == 0;
    ScriptGenerator generator(seed, !regedit4);
    generator.Seed(*box_.OpenStore());
    std::string script = generator.Script(regedit4, false, kScriptLines);
    if (!regedit4 && seed % 2 == 0) {
      // Records of more bytes than the writer buffers, early in the script: a kill before the
      // first save then finds the backout file ending inside a record.
      box_.SetValue("HKLM\\SOFTWARE\\Bulk", "a", 3, std::string(50000, 'a'));
      box_.SetValue("HKLM\\SOFTWARE\\Bulk", "b", 3, std::string(50000, 'b'));
      script.insert(script.find('\n') + 1, "DELETE:[HKLM\\SOFTWARE\\Bulk]\n");
    }
    box_.WriteFile("script.txt", script);
    start_ = box_.DumpStore();
    CopyStore(box_.storePath(), box_.PathOf("start.db"));
    LearnRun();
  }

  // One run with a random save interval, killed after `delay` unless it ends first; "" when
  // every check holds.
  std::string Kill(Clock::duration delay) {
    // The start in place of the store (the file is closed, so it has no log of its own).
    const std::string store = box_.storePath();
    for (const char* suffix : {"-wal", "-shm", "-journal"}) fs::remove(store + suffix);
    CopyStore(box_.PathOf("start.db"), store);
    fs::remove(box_.PathOf("undo.txt"));
    const int saveLines = std::uniform_int_distribution<int>(1, 300)(random_);
    const std::string how = " (DORVALEX_SAVE_LINES=" + std::to_string(saveLines) + ")";
    // Temporary files that a kill leaves behind go with the box.
    EnvChanges env = {{"DORVALEX_SAVE_LINES", std::to_string(saveLines)},
                      {"TMPDIR", box_.PathOf("")}};
    std::vector<std::string> args = {"/REG:script.txt", "/BACKUP:undo.txt"};
    if (remote_) {
      env["DORVALEX_RSH"] = std::string(DX_SOURCE_DIR) + "/tests/remote_rsh.sh";
      env["DX_REMOTE_STORE"] = box_.storePath();
      env["DX_AGENT_PIDS"] = box_.PathOf("agents");
      args.push_back("/MACHINE:S");
    }
    auto begin = Clock::now();
    RunResult run = box_.Run(args, env, 120, [&] { return Clock::now() - begin >= delay; });
    lastRun_ = Clock::now() - begin;
    // The agent outlives a killed tool until it sees its input end, drops what was not saved
    // and closes the store: nothing may look at the store, or copy over it, before then.
    if (remote_ && !AgentsEnded(box_.PathOf("agents"))) return "an agent did not end";
    const bool finished = run.exitCode == 0;
    if (!finished && run.exitCode != 137)
      return "exit code " + std::to_string(run.exitCode) + how + "\n" + run.output;
    if (std::string verdict = IntegrityCheck(box_.storePath()); verdict != "ok")
      return "integrity check: " + verdict + how;

    // The store must be the state after some k lines whose records all reached the file.
    const std::string backout = box_.ReadFile("undo.txt").value_or("");
    const Digest digest = DigestOf(*box_.OpenStore());
    const bool reversed = backout == reversed_;
    if (finished && !reversed) return "a finished run left another backout file" + how;
    if (reversed && steps_.back().digest != digest)
      return "the backout file is complete but the store is not" + how;
    if (!reversed && forward_.compare(0, backout.size(), backout) != 0)
      return "the backout file is not a prefix of the expected one" + how;
    size_t k = 0;  // the furthest any part got
    for (size_t part = 0; part < digest.size(); ++part) {
      size_t at = 0;
      while (at < steps_.size() && !(steps_[at].digest.size() == digest.size() &&
                                     steps_[at].digest[part] == digest[part] &&
                                     steps_[at].backoutSize <= backout.size()))
        ++at;
      if (at == steps_.size())
        return "the store is not the state after a prefix of the script whose records all "
               "reached the backout file" + how;
      k = std::max(k, at);
    }
    if (!finished) reached_ = std::max(reached_, steps_[k].lineNumber);

    // Undo: the file as a killed run leaves it is turned last-first, as run control would.
    const std::string where = "; the store held the changes up to script line " +
                              std::to_string(steps_[k].lineNumber) + how;
    if (!backout.empty()) {
      box_.WriteFile("undo-now.txt", backout);
      if (!reversed && !Reverse(box_.PathOf("undo-now.txt"))) return "reversal failed" + where;
      RunResult undo = box_.Run({"/REG:undo-now.txt"});
      if (undo.exitCode != 0)
        return "applying the backout file failed" + where + "\n" + undo.output;
    }
    if (box_.DumpStore() != start_) return "the backout file did not restore the store" + where;
    return "";
  }

  // A whole run, checked like a kill; then kills at random moments within its duration.
  std::string KillAtRandom(Clock::time_point end, bool oneSeed, int* kills) {
    std::string failure = Kill(std::chrono::hours(1));
    if (!failure.empty()) return failure + " (a whole run)";
    const Clock::rep full = lastRun_.count();
    while (failure.empty() && Clock::now() < end && (oneSeed || *kills < kKillsPerSeed)) {
      ++*kills;
      const Clock::duration delay(std::uniform_int_distribution<Clock::rep>(0, full)(random_));
      failure = Kill(delay);
      if (!failure.empty())
        failure += " after " + std::to_string(delay / std::chrono::microseconds(1)) + " us";
    }
    return failure;
  }
  int reached() const { return reached_; }

 private:
  // What a run of the script does, line by line, learned by applying it in this process to a
  // copy of the start.
  void LearnRun() {
    CaptureOutput output;
    RunSettings settings;
    settings.backoutOpen = true;
    settings.backoutPath = box_.PathOf("expected-undo.txt");
    CopyStore(box_.storePath(), box_.PathOf("expected.db"));
    ScriptState state;
    {
      std::unique_ptr<RegistryService> store = OpenStoreAt(box_.PathOf("expected.db"));
      // One batch never saved: the digests read the changes in the store's own hands.
      EXPECT_EQ(store->BeginChanges(), kErrorSuccess);
      KeyAccess keys(*store, state);
      BackoutFile backout;
      EXPECT_TRUE(backout.Create(settings.backoutPath, true) && backout.Write("DORVALEX\n"));
      Operations operations(settings, state, keys, backout);
      steps_ = {{DigestOf(*store), 0, 0}};  // the start needs no record, not even the header
      LineRecorder recorder(operations, [&] {
        steps_.push_back({DigestOf(*store), FileSize(settings.backoutPath), state.lineNumber});
      });
      EXPECT_TRUE(ReadScriptFile(box_.PathOf("script.txt"), state, recorder)) << output.text();
      EXPECT_TRUE(backout.Close());
      store->EndChanges();
    }
    forward_ = box_.ReadFile(settings.backoutPath).value_or("");
    Reverse(settings.backoutPath);
    reversed_ = box_.ReadFile(settings.backoutPath).value_or("");
  }

  std::mt19937_64 random_;
  const bool remote_;
  BlackBox box_;
  std::string start_;
  std::vector<Step> steps_;  // [k]: after the first k lines
  std::string forward_;      // the backout file before its reversal
  std::string reversed_;     // the backout file of a finished run
  int reached_ = 0;
  Clock::duration lastRun_{};
};

// Kills runs of seeds 1, 2, ... until `seconds` have passed (or only DX_CRASH_SEED's).
void KillRunsFor(int seconds, bool remote) {
  // A kill ends the process, not the machine: files in memory keep all that the checks look
  // at, and spare the disk syncs that would make each run slow.
  if (!getenv("TMPDIR") && access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
  const char* fixedSeed = getenv("DX_CRASH_SEED");
  auto end = Clock::now() + std::chrono::seconds(seconds);
  uint32_t seed = fixedSeed ? static_cast<uint32_t>(strtoul(fixedSeed, nullptr, 10)) : 1;
  for (int failures = 0; Clock::now() < end && failures < 3; ++seed) {
    CrashCase crash(seed, remote);
    int kills = 0;
    const std::string failure = crash.KillAtRandom(end, fixedSeed != nullptr, &kills);
    if (!failure.empty()) {
      ++failures;
      ADD_FAILURE() << "reproduce with DX_CRASH_SEED=" << seed << ": " << failure;
    }
    printf("seed %u: %d kills, the furthest killed run got to line %d\n", seed, kills,
           crash.reached());
    if (fixedSeed) break;
  }
}

int CrashSeconds() {
  const char* seconds = getenv("DX_CRASH_SECONDS");
  return seconds && *seconds ? atoi(seconds) : 60;
}

TEST(CrashTest, AKilledRunLeavesAPrefixThatItsBackoutFileUndoes) {
  KillRunsFor(CrashSeconds() * 2 / 3, false);
}

TEST(CrashTest, AKilledRemoteRunLeavesAPrefixThatItsBackoutFileUndoes) {
  KillRunsFor(CrashSeconds() / 3, true);
}

// A kill after records reached the file but before their changes were saved: the records of
// changes the store never got must undo nothing, string edits' records included.
TEST(CrashTest, RecordsOfUnsavedChangesUndoNothing) {
  BlackBox box;
  box.SetValue("HKLM\\SOFTWARE\\Edit", "m", 7, std::string("a\0b\0\0", 5));
  box.SetDword("HKLM\\SOFTWARE\\Edit", "t", 7);
  // Records of more bytes than the writer buffers: they reach the file long before the save.
  box.SetValue("HKLM\\SOFTWARE\\Bulk", "a", 3, std::string(100000, 'a'));
  // Undone in the store as it was before them, the records of the string edits must neither
  // add a string back that was never removed nor find a value that is not yet a multi-string.
  std::string script = "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\Edit]\nREMOVE:\"m\"=\"b\"\n"
                       "UPDATE:\"t\"=Multi:\"p\"\nAPPEND:\"t\"=\"q\"\n"
                       "DELETE:[HKLM\\SOFTWARE\\Bulk]\nUPDATE:[HKLM\\SOFTWARE\\Other]\n";
  for (int i = 0; i < 5000; ++i) script += "UPDATE:\"v" + std::to_string(i) + "\"=\"x\"\n";
  box.WriteFile("script.txt", script);
  const std::string start = box.DumpStore();
  RunResult run = box.Run({"/REG:script.txt", "/BACKUP:undo.txt"},
                          {{"DORVALEX_SAVE_LINES", "100000"}}, 120,
                          [&] { return FileSize(box.PathOf("undo.txt")) > 100; });
  if (run.exitCode != 137 || box.DumpStore() != start)
    GTEST_SKIP() << "the kill did not come between the records and the first save";
  ASSERT_NE(box.ReadFile("undo.txt").value_or("").find("\"m\"="), std::string::npos);
  ASSERT_TRUE(Reverse(box.PathOf("undo.txt")));
  RunResult undo = box.Run({"/REG:undo.txt"});
  EXPECT_EQ(undo.exitCode, 0) << undo.output;
  EXPECT_EQ(box.DumpStore(), start);
}

}  // namespace
