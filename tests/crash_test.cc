// Crash consistency: dorvalex killed with SIGKILL at a random moment of a run with /BACKUP:
// must leave a store that passes SQLite's integrity check and holds exactly the changes of the
// first k lines of the script, every one of them with its records in the backout file; that
// file, reversed and applied, must bring the store back to where it started. A run that ends
// before the kill must pass the same checks with k = all lines. The states after each line
// come from applying the same script in this process. DX_CRASH_SEED=<seed> runs one seed;
// DX_CRASH_SECONDS bounds the test's time (60 s).
//
// Kept out of the scripts (tests/script_generator.h), as the tool cannot undo them exactly by
// design: value lines that create a missing key; DELETE or "-" naming a value or key in another
// case than the stored one; names no line form carries; type 255; /CHANGES runs. String edits
// of a value whose bytes are not the written form of its list; APPEND or PREPEND of a string
// held in any case; REMOVE of a string held twice, in another case or not last; REPLACE of a
// string held in another case or by a string held; operands that are empty or begin with
// "ulti:" (read as "Multi:").
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/run_settings.h"
#include "backout/backout_file.h"
#include "backout/reversal.h"
#include "ops/operations.h"
#include "registry/backends/sqlite_registry.h"
#include "registry/key_path.h"
#include "registry/win32_codes.h"
#include "script/script_reader.h"
#include "testing/capture_output.h"
#include "testing/registry_dump.h"
#include "tests/blackbox.h"
#include "tests/script_generator.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kScriptLines = 2000;
constexpr int kKillsPerSeed = 60;  // then the next seed, unless one seed was asked for

size_t Digest(RegistryService& store) {
  return std::hash<std::string>{}(DumpRegistry(store, ValueOrder::kByName));
}

// Passes every line on to the operations, then notes the store's digest and how much of the
// backout file the lines so far have written.
class LineRecorder final : public OperationHandlers {
 public:
  LineRecorder(OperationHandlers& ops, RegistryService& store, const ScriptState& state,
               std::string backoutPath)
      : ops_(ops), store_(store), state_(state), backoutPath_(std::move(backoutPath)) {
    digests.push_back(Digest(store_));
    backoutSizes.push_back(0);  // the starting state needs no record, not even the header
    lineNumbers.push_back(0);
  }
  bool UpdateKey(std::string_view text) override { return Note(ops_.UpdateKey(text)); }
  bool UpdateValue(std::string_view text) override { return Note(ops_.UpdateValue(text)); }
  bool DeleteKey(std::string_view text) override { return Note(ops_.DeleteKey(text)); }
  bool DeleteValue(std::string_view text) override { return Note(ops_.DeleteValue(text)); }
  bool AppendString(std::string_view text) override { return Note(ops_.AppendString(text)); }
  bool PrependString(std::string_view text) override { return Note(ops_.PrependString(text)); }
  bool RemoveString(std::string_view text) override { return Note(ops_.RemoveString(text)); }
  bool ReplaceString(std::string_view text) override { return Note(ops_.ReplaceString(text)); }

  std::vector<size_t> digests;       // [k]: the store after the first k lines
  std::vector<size_t> backoutSizes;  // [k]: bytes of the backout file the first k lines wrote
  std::vector<int> lineNumbers;      // [k]: where the k-th line is in the script file

 private:
  bool Note(bool ok) {
    struct stat info {};
    stat(backoutPath_.c_str(), &info);
    digests.push_back(Digest(store_));
    backoutSizes.push_back(static_cast<size_t>(info.st_size));
    lineNumbers.push_back(state_.lineNumber);
    return ok;
  }
  OperationHandlers& ops_;
  RegistryService& store_;
  const ScriptState& state_;
  std::string backoutPath_;
};

// What a run of the script does, line by line, learned by applying it in this process.
struct ExpectedRun {
  std::vector<size_t> digests;
  std::vector<size_t> backoutSizes;
  std::vector<int> lineNumbers;
  std::string forward;   // the backout file before its reversal
  std::string reversed;  // the backout file of a finished run
};

// Applies the script at `scriptPath` to the store at `storePath`, which it changes.
ExpectedRun LearnRun(const BlackBox& box, const std::string& storePath,
                     const std::string& scriptPath) {
  CaptureOutput output;
  RunSettings settings;
  settings.backoutOpen = true;
  settings.backoutPath = box.PathOf("expected-undo.txt");
  ScriptState state;
  ExpectedRun expected;
  {
    std::unique_ptr<RegistryService> store = OpenSqliteRegistry(storePath);
    // One batch never saved: the digests read the changes in the store's own hands.
    EXPECT_EQ(store->BeginChanges(), kErrorSuccess);
    KeyAccess keys(*store, state);
    BackoutFile backout;
    EXPECT_TRUE(backout.Create(settings.backoutPath) && backout.Write("DORVALEX\n"));
    Operations operations(settings, state, keys, backout);
    LineRecorder recorder(operations, *store, state, settings.backoutPath);
    EXPECT_TRUE(ReadScriptFile(scriptPath, state, recorder)) << output.text();
    EXPECT_TRUE(backout.Close());
    expected.digests = std::move(recorder.digests);
    expected.backoutSizes = std::move(recorder.backoutSizes);
    expected.lineNumbers = std::move(recorder.lineNumbers);
    store->EndChanges();
  }
  expected.forward = box.ReadFile(settings.backoutPath).value_or("");
  EXPECT_TRUE(ReverseBackout(settings.backoutPath, settings, state)) << output.text();
  expected.reversed = box.ReadFile(settings.backoutPath).value_or("");
  return expected;
}

// SQLite's verdict on the store file: "ok" when sound.
std::string IntegrityCheck(const std::string& path) {
  sqlite3* db = nullptr;
  std::string verdict = "cannot open";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    verdict.clear();
    auto collect = [](void* out, int, char** values, char**) {
      *static_cast<std::string*>(out) += values[0] ? values[0] : "NULL";
      return 0;
    };
    if (sqlite3_exec(db, "PRAGMA integrity_check", collect, &verdict, nullptr) != SQLITE_OK)
      verdict += sqlite3_errmsg(db);
  }
  sqlite3_close(db);
  return verdict;
}

// Puts the store file `from` (closed, so without a log) in place of the store `to`.
void CopyStore(const std::string& from, const std::string& to) {
  for (const char* suffix : {"-wal", "-shm", "-journal"}) fs::remove(to + suffix);
  fs::create_directories(fs::path(to).parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

std::string FirstDifference(const std::string& want, const std::string& got) {
  std::istringstream a(want), b(got);
  std::string x, y;
  for (int line = 1; bool(std::getline(a, x)) | bool(std::getline(b, y)); ++line) {
    if (x != y) return "line " + std::to_string(line) + ": want \"" + x + "\", got \"" + y + "\"";
    x.clear();
    y.clear();
  }
  return "none";
}

long long Microseconds(Clock::duration time) {
  return std::chrono::duration_cast<std::chrono::microseconds>(time).count();
}

class CrashCase {
 public:
  explicit CrashCase(uint32_t seed) : random_(seed) {
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
    fs::copy_file(box_.storePath(), box_.PathOf("start.db"));
    fs::copy_file(box_.storePath(), box_.PathOf("expected.db"));
    expected_ = LearnRun(box_, box_.PathOf("expected.db"), box_.PathOf("script.txt"));
  }

  // One run, killed after `delay` unless it ends first; "" when every check holds.
  std::string Kill(Clock::duration delay, int saveLines) {
    CopyStore(box_.PathOf("start.db"), box_.storePath());
    fs::remove(box_.PathOf("undo.txt"));
    auto begin = Clock::now();
    // Temporary files that a kill leaves behind go with the box.
    EnvChanges env = {{"DORVALEX_SAVE_LINES", std::to_string(saveLines)},
                      {"TMPDIR", box_.PathOf("")}};
    RunResult run = box_.Run({"/REG:script.txt", "/BACKUP:undo.txt"}, env, 120,
                             [&] { return Clock::now() - begin >= delay; });
    lastRun_ = Clock::now() - begin;
    bool finished = run.exitCode == 0;
    finishedRuns_ += finished;
    if (!finished && run.exitCode != 137)
      return "exit code " + std::to_string(run.exitCode) + "\n" + run.output;
    if (std::string verdict = IntegrityCheck(box_.storePath()); verdict != "ok")
      return "integrity check: " + verdict;

    // The store must be the state after some k lines whose records all reached the file.
    std::string backout = box_.ReadFile("undo.txt").value_or("");
    tornFiles_ += !backout.empty() && backout.back() != '\n';
    size_t digest = Digest(*box_.OpenStore());
    const size_t lines = expected_.digests.size() - 1;
    bool reversed = backout == expected_.reversed;
    if (finished && !reversed) return "a finished run left another backout file";
    if (reversed && expected_.digests[lines] != digest)
      return "the backout file is complete but the store is not";
    if (!reversed && expected_.forward.compare(0, backout.size(), backout) != 0)
      return "the backout file is not a prefix of the expected one";
    size_t k = 0;
    auto reachedWithRecords = [&](size_t k) {
      return expected_.digests[k] == digest && expected_.backoutSizes[k] <= backout.size();
    };
    while (k <= lines && !reachedWithRecords(k)) ++k;
    size_t written = 1;  // the line whose records the file ends in
    while (written < lines && expected_.backoutSizes[written] < backout.size()) ++written;
    std::string where = "; the backout file ends in the records of script line " +
                        std::to_string(expected_.lineNumbers[written]);
    if (k > lines) {
      for (k = 0; k <= lines && expected_.digests[k] != digest; ++k) {}
      return (k > lines ? "the store is not the state after any prefix of the script"
                        : "the store holds the changes up to script line " +
                              std::to_string(expected_.lineNumbers[k]) +
                              ", the backout file not all their records") +
             where;
    }
    where = "the store holds the changes up to script line " +
            std::to_string(expected_.lineNumbers[k]) + where;
    if (!finished) reached_ = std::max(reached_, k);

    // Undo: the file as a killed run leaves it is turned last-first, as run control would.
    if (!backout.empty()) {
      box_.WriteFile("undo-now.txt", backout);
      CaptureOutput output;
      RunSettings settings;
      settings.backoutPath = box_.PathOf("undo-now.txt");
      ScriptState state;
      bool haveScript = reversed || ReverseBackout(settings.backoutPath, settings, state);
      if (haveScript) {
        RunResult undo = box_.Run({"/REG:undo-now.txt"});
        if (undo.exitCode != 0)
          return "applying the backout file failed (exit " + std::to_string(undo.exitCode) +
                 "; " + where + "):\n" + undo.output + undo.errors;
      }
    }
    std::string after = box_.DumpStore();
    if (after != start_)
      return "the backout file did not restore the store (" + where +
             "): " + FirstDifference(start_, after);
    return "";
  }

  // The duration of a whole run; it is also checked like a kill.
  Clock::duration TimeRun(std::string* failure) {
    *failure = Kill(std::chrono::hours(1), SaveLines());
    if (!failure->empty()) *failure += "\n(a whole run)";
    return lastRun_;
  }
  int SaveLines() { return std::uniform_int_distribution<int>(1, 300)(random_); }
  Clock::duration Delay(Clock::duration full) {
    return Clock::duration(std::uniform_int_distribution<Clock::rep>(0, full.count())(random_));
  }
  size_t reached() const { return reached_; }
  int finishedRuns() const { return finishedRuns_; }
  int tornFiles() const { return tornFiles_; }  // backout files that end inside a record
  size_t lines() const { return expected_.digests.size() - 1; }

 private:
  std::mt19937_64 random_;
  BlackBox box_;
  std::string start_;
  ExpectedRun expected_;
  size_t reached_ = 0;
  Clock::duration lastRun_{};
  int finishedRuns_ = 0;
  int tornFiles_ = 0;
};

TEST(CrashTest, AKilledRunLeavesAPrefixThatItsBackoutFileUndoes) {
  // A kill ends the process, not the machine: files in memory keep all that the checks look
  // at, and spare the disk syncs that would make each run slow.
  if (!getenv("TMPDIR") && access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
  const char *fixedSeed = getenv("DX_CRASH_SEED"), *seconds = getenv("DX_CRASH_SECONDS");
  auto end = Clock::now() + std::chrono::seconds(seconds && *seconds ? atoi(seconds) : 60);
  uint32_t seed = fixedSeed ? static_cast<uint32_t>(strtoul(fixedSeed, nullptr, 10)) : 1;
  int kills = 0, ended = 0, torn = 0, failures = 0;
  for (; Clock::now() < end && failures < 3; ++seed) {
    CrashCase crash(seed);
    std::string failure;
    Clock::duration full = crash.TimeRun(&failure);
    int i = 0;
    for (; failure.empty() && Clock::now() < end && (fixedSeed || i < kKillsPerSeed); ++i) {
      int saveLines = crash.SaveLines();
      Clock::duration delay = crash.Delay(full);
      failure = crash.Kill(delay, saveLines);
      if (!failure.empty())
        failure += "\n(kill after " + std::to_string(Microseconds(delay)) +
                   " us, DORVALEX_SAVE_LINES=" + std::to_string(saveLines) + ")";
    }
    kills += i;
    ended += crash.finishedRuns() - 1;
    torn += crash.tornFiles();
    if (!failure.empty()) {
      ++failures;
      ADD_FAILURE() << "reproduce with DX_CRASH_SEED=" << seed << ": " << failure;
    }
    printf("seed %u: %zu lines, a whole run %lld us, %d kills, the furthest killed run got to "
           "line %zu\n", seed, crash.lines(), Microseconds(full), i, crash.reached());
    if (fixedSeed) break;
  }
  printf("%d kills: %d after the run had ended, %d left a backout file ending inside a record\n",
         kills, ended, torn);
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
  const EnvChanges oneSave = {{"DORVALEX_SAVE_LINES", "100000"}};
  auto recordsWritten = [&] {
    struct stat info {};
    return stat(box.PathOf("undo.txt").c_str(), &info) == 0 && info.st_size > 100;
  };
  RunResult run = box.Run({"/REG:script.txt", "/BACKUP:undo.txt"}, oneSave, 120, recordsWritten);
  if (run.exitCode != 137 || box.DumpStore() != start)
    GTEST_SKIP() << "the kill did not come between the records and the first save";
  ASSERT_NE(box.ReadFile("undo.txt").value_or("").find("\"m\"="), std::string::npos);
  CaptureOutput output;
  RunSettings settings;
  ScriptState state;
  ASSERT_TRUE(ReverseBackout(box.PathOf("undo.txt"), settings, state)) << output.text();
  RunResult undo = box.Run({"/REG:undo.txt"});
  EXPECT_EQ(undo.exitCode, 0) << undo.output;
  std::string after = box.DumpStore();
  EXPECT_TRUE(after == start) << FirstDifference(start, after);
}

}  // namespace
