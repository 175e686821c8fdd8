// Run control: one straight pass from the command line to the exit code.
#include "app/run_control.h"

#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "app/options.h"
#include "app/run_progress.h"
#include "backout/backout_file.h"
#include "backout/full_backup.h"
#include "backout/record_format.h"
#include "backout/reversal.h"
#include "ops/change_batch.h"
#include "ops/operations.h"
#include "ops/run_settings.h"
#include "platform/platform.h"
#include "ops/key_path.h"
#include "registry/local_registry.h"
#include "report/report.h"
#include "script/script_reader.h"
#include "script/script_state.h"

namespace {

// DX_VERSION is the project's version, set once in the top CMakeLists.txt.
constexpr char kBannerLine1[] = "DORVALEX Version " DX_VERSION "  (c) DORVALEX developers\n";
constexpr char kRunningOn[] = "         Running on ";

// An existing directory entry of any kind, readable or not, is never replaced unasked.
bool PathExists(const std::string& path) {
  return platform::LookUpEntry(path) == platform::Entry::kPresent;
}

// Every option the program knows, without its slash.
constexpr std::string_view kFlagOptions[] = {"REGBACKUP", "OVERWRITE", "CHANGES",
                                             "VERBOSE",   "NOACTION",  "NOREVERSE"};
constexpr std::string_view kValueOptions[] = {"REG", "BACKUP", "MACHINE"};

class RunControl {
 public:
  explicit RunControl(const OsInfo& os) : os_(os) {}
  int Run(int argc, const char* const* argv);

 private:
  // Every exit after the option table exists passes here.
  int EndRun(int code) {
    params_.FreeParameters();
    return code;
  }
  // False after the report: the backout file cannot be created or its first lines written.
  bool CreateBackoutFile();
  void PrintBanner() const;
  void PrintSummary() const;
  // The script run or the full backup; true when it completed.
  bool RunJob();
  // The script's lines through `operations`, with a progress line on a terminal.
  bool ReadScript(OperationHandlers& operations);
  // Closes the backout file and, unless told otherwise, rewrites it last-first. False when
  // the file did not reach the disk whole, could not be rewritten, or memory ran out while
  // rewriting it (reported).
  bool FinishBackout();

  const OsInfo& os_;
  ParameterLibrary params_;
  RunSettings settings_;
  ScriptState state_;
  BackoutFile backout_;
};

int RunControl::Run(int argc, const char* const* argv) {
  if (!params_.InitParameters(argc, argv)) {
    ReportError("Unable to initialise Parameter Library");
    return 1;
  }
  if (params_.HasWord("--help") || params_.HasWord("-h")) {
    PrintUsage(os_);
    Print("The manual page tells more: man dorvalex\n");
    return EndRun(0);
  }
  if (params_.HasWord("--version")) {
    Print("dorvalex " DX_VERSION "\n");
    return EndRun(0);
  }
  // A mistyped option ("/BACKUP undo.txt", "/VERBSE") would otherwise be ignored and the run
  // would go on without it: refuse the command line before anything is created or changed.
  std::vector<std::string> unknown = params_.UnknownArguments(kFlagOptions, kValueOptions);
  if (!unknown.empty()) {
    for (const std::string& arg : unknown) ReportErrorF("Unknown Option \"%s\"", arg.c_str());
    PrintUsage(os_);
    return EndRun(1);
  }
  bool hasJob = params_.HasValueOption("REG") || params_.HasOption("REGBACKUP");
  if (params_.NoArguments() || !hasJob) {
    PrintUsage(os_);
    return EndRun(1);
  }
  settings_.fullBackup = params_.HasOption("REGBACKUP");
  if (auto input = params_.GetOptionValue("REG")) settings_.inputPath = std::move(*input);
  settings_.changesOnly = params_.HasOption("CHANGES");

  bool backoutRefused = false;
  if (auto backout = params_.GetOptionValue("BACKUP")) {
    settings_.backoutPath = std::move(*backout);
    settings_.backoutOpen = !PathExists(settings_.backoutPath) || params_.HasOption("OVERWRITE");
    backoutRefused = !settings_.backoutOpen;
    // Truncating the script that is about to be read, or the store that holds the registry,
    // would lose it: refuse before touching it.
    if (settings_.backoutOpen && !settings_.fullBackup &&
        platform::SameFile(settings_.backoutPath, settings_.inputPath)) {
      ReportErrorF("Backout File \"%s\" is the Registry Input File",
                   settings_.backoutPath.c_str());
      return EndRun(1);
    }
    // The store's log, index and journal count as the store: SQLite deletes or rewrites them.
    if (settings_.backoutOpen && IsLocalRegistryFile(settings_.backoutPath)) {
      ReportErrorF("Backout File \"%s\" is the Registry Store", settings_.backoutPath.c_str());
      return EndRun(1);
    }
    if (settings_.backoutOpen && !CreateBackoutFile()) return EndRun(1);
  }
  settings_.quiet = !params_.HasOption("VERBOSE") || settings_.fullBackup;
  settings_.noAction = params_.HasOption("NOACTION") || settings_.fullBackup;
  if (auto machine = params_.GetOptionValue("MACHINE")) settings_.machineName = std::move(*machine);

  PrintBanner();
  if (!settings_.quiet) PrintSummary();
  if (backoutRefused) {
    ReportError("Backout file already exists and /OVERWRITE was not specified");
    return EndRun(1);
  }

  bool completed = RunJob();
  // A failed run keeps its backout file too, and it is turned last-first all the same: only
  // in that order does applying it undo a value that changed more than once.
  bool backoutWhole = FinishBackout();
  if (!completed || !backoutWhole) return EndRun(1);
  if (state_.escapeError) {
    ReportError("Single Backslash errors were found - Exiting");
    return EndRun(1);
  }
  if (settings_.fullBackup) {
    Print("\bFull Backup Complete.\n");
  } else {
    Print(settings_.inputPath + " was applied.\n");
  }
  return EndRun(0);
}

bool RunControl::CreateBackoutFile() {
  if (!backout_.Create(settings_.backoutPath, params_.HasOption("OVERWRITE"))) {
    ReportErrorF("Unable to Create Backout File \"%s\"", settings_.backoutPath.c_str());
    return false;
  }
  std::string lines(kBackoutHeaderLine);
  if (!backout_.Write(lines)) return false;
  if (!settings_.changesOnly) return true;
  lines.clear();
  AppendChangesComment(settings_.inputPath, &lines);
  return backout_.Write(lines);
}

void RunControl::PrintBanner() const {
  Print(kBannerLine1);
  Print(kRunningOn + DescribeOs(os_) + "\n");
  Print("\n");
}

void RunControl::PrintSummary() const {
  std::string summary = "Registry Input:\"" + settings_.inputPath + "\"\n";
  summary += settings_.backoutOpen ? "Backout:\"" + settings_.backoutPath + "\"\n"
                                   : std::string("No Backout\n");
  summary += settings_.noAction ? "NoAction: True\n" : "NoAction: False\n";
  summary += "\n";
  Print(summary);
}

bool RunControl::RunJob() {
  // Other machines (/MACHINE:) are reached through the run's registry; a run on another
  // machine batches its changes there.
  const bool remote = settings_.machineName.has_value();
  std::unique_ptr<RegistryService> store = OpenRunRegistry(remote);
  KeyAccess keys(*store, state_);
  if (settings_.fullBackup) {
    return FullBackup(keys, params_.HasOption("OVERWRITE"), IsLocalRegistryFile);
  }
  if (settings_.noAction) {
    if (!remote && !CheckStoreReadable(*store, LocalRegistryPath())) return false;
    Operations operations(settings_, state_, keys, backout_);
    return ReadScript(operations);
  }
  // Changes are saved in batches behind the backout records (another machine's agent saves
  // when the client tells it the records are safe), and whatever the run changed is saved
  // before it ends, failed or not, so that its backout file undoes it. A registry that takes
  // each change at once (Windows') needs each record written out before its change; the file
  // still reaches the disk only at each batch's save.
  ChangeBatch batch(*store, backout_, state_);
  if (!remote) AnnounceStoreWait(LocalRegistryPath());
  if (!batch.Begin(remote ? *settings_.machineName : LocalRegistryPath(), !remote)) return false;
  if (store->HoldsChanges()) backout_.DeferFlushes();
  Operations operations(settings_, state_, keys, backout_, &batch);
  bool completed = ReadScript(operations);
  return batch.Finish() && completed;
}

bool RunControl::ReadScript(OperationHandlers& operations) {
  if (!ProgressWanted()) return ReadScriptFile(settings_.inputPath, state_, operations);
  ProgressHandlers progress(operations, state_,
                            settings_.machineName ? *settings_.machineName : LocalRegistryPath(),
                            settings_.inputPath);
  return ReadScriptFile(settings_.inputPath, state_, progress);
}

bool RunControl::FinishBackout() {
  if (!backout_.IsOpen()) return true;
  // A file that may be missing records has been reported and is left exactly as written.
  if (!backout_.Close()) return false;
  // The full backup writes files of its own; the backout file of such a run holds only its
  // first lines and stays as written.
  if (!settings_.fullBackup && !params_.HasOption("NOREVERSE") &&
      platform::IsRegularFile(settings_.backoutPath)) {
    // Only a regular file can be read back and rewritten; a pipe or a device keeps what it got.
    // A rewrite that was refused (the name no longer names the run's file) fails the run. The
    // rewrite replaces the file only when it is whole, so running out of memory on the way
    // leaves the file as the run wrote it; the run then fails too.
    try {
      return ReverseBackout(settings_.backoutPath, backout_.id(), settings_.quiet, state_);
    } catch (const std::bad_alloc&) {
      ReportSystemErrorF(8, "Out of Memory - Backout File \"%s\" was not reversed",
                         settings_.backoutPath.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

void PrintUsage(const OsInfo& os) {
  bool remote = os.osType >= kOsWindowsNt;
  std::string text = "\n";
  text += kBannerLine1;
  text += kRunningOn + DescribeOs(os);
  text +=
      "\n\n"
      "Usage:\n"
      "DORVALEX /REGBACKUP [/OVERWRITE]\n"
      "DORVALEX /REG:\"Path to Input File\" [/BACKUP:\"Path to Backout File\"]\n"
      "         [/VERBOSE] [/NOACTION] [/OVERWRITE] [/CHANGES]\n"
      "         [/NOREVERSE]";
  if (remote) text += " [/MACHINE:\"Computer Name\"]";
  text +=
      "\n\n"
      " /REGBACKUP - Backs up HKLM and HKU keys to text file\n"
      " /VERBOSE   - Displays Verbose logging to stdout\n"
      " /NOACTION  - Does not actually write any changes to registry\n"
      " /OVERWRITE - Will continue if a backout file already exists\n"
      " /CHANGES   - Backup file (if specified) will only show changed items\n"
      " /NOREVERSE - Backup file will not be reversed\n";
  if (remote) text += " /MACHINE:  - Applies Registry file to remote machine named\n";
  text += "\n";
  Print(text);
}

int RunDorvalex(int argc, const char* const* argv, OsVersionQuery queryOs) {
  OsInfo os;
  if (!queryOs(&os)) {
    ReportError("Unable to Get Operating System Version");
    return 1;
  }
  return RunControl(os).Run(argc, argv);
}
