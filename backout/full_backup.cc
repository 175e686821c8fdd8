// The full backup: each of the two roots written by the key snapshot to a file of its own,
// with a spinner that turns once per key, all read from one consistent view of the store.
#include "backout/full_backup.h"

#include <iterator>

#include "backout/backout_file.h"
#include "backout/record_format.h"
#include "backout/snapshot.h"
#include "platform/platform.h"
#include "report/report.h"

namespace {

struct BackupTarget {
  const char* fileName;
  const char* rootName;
  const char* banner;  // opens the progress line on which the spinner turns
};

// The second banner's backspace removes the spinner character left by the first root.
constexpr BackupTarget kTargets[] = {
    {"HKLM_backup.reg", "HKEY_LOCAL_MACHINE",
     "Backing up HKEY_LOCAL_MACHINE registry key ...\n+"},
    {"HKU_backup.reg", "HKEY_USERS", "\bBacking up HKEY_USERS registry key ...\n+"},
};

// Whether anything at all is there under the name, readable or not; a dangling link counts,
// since creating the file would write through it.
bool FileExists(const char* name) { return platform::LookUpEntry(name) != platform::Entry::kAbsent; }

// Ends the consistent read however the backup ends.
class ConsistentRead {
 public:
  explicit ConsistentRead(RegistryService& registry) : registry_(registry) {}
  ConsistentRead(const ConsistentRead&) = delete;
  ConsistentRead& operator=(const ConsistentRead&) = delete;
  ~ConsistentRead() {
    if (begun_) registry_.EndConsistentRead();
  }
  RegStatus Begin() {
    const RegStatus status =
        registry_.BeginConsistentRead(RegistryService::ReadSpan::kWholeTree);
    begun_ = status == kErrorSuccess;
    return status;
  }

 private:
  RegistryService& registry_;
  bool begun_ = false;
};

bool BackUpRoot(const BackupTarget& target, BackoutFile& file, KeyOpener& keys,
                Spinner& spinner) {
  Print(target.banner);
  // The backup always reads the local store, whatever /MACHINE: says.
  if (!SnapshotKey(keys, file, target.rootName, MachineName(), &spinner)) {
    if (!file.failed()) ReportErrorF("Could not backup %s", target.rootName);
    return false;
  }
  return file.Close();  // synced: the backup is only complete once it is on disk
}

}  // namespace

bool FullBackup(KeyOpener& keys, bool overwrite,
                const std::function<bool(const std::string&)>& isStoreFile) {
  Spinner spinner;

  // Both checks come before either file is written, so a refused run leaves both untouched.
  for (const BackupTarget& target : kTargets) {
    if (isStoreFile(target.fileName)) {
      ReportErrorF("Backout File \"%s\" is the Registry Store", target.fileName);
      return false;
    }
    if (FileExists(target.fileName) && !overwrite) {
      ReportErrorF("%s exists, and /OVERWRITE was not specified", target.fileName);
      return false;
    }
  }
  BackoutFile files[std::size(kTargets)];
  for (size_t i = 0; i < std::size(kTargets); ++i) {
    if (!files[i].Create(kTargets[i].fileName, overwrite)) {
      ReportErrorF("Unable to Create Backout File \"%s\"", kTargets[i].fileName);
      return false;
    }
    if (!files[i].Write(kBackoutHeaderLine)) return false;
  }

  ConsistentRead view(keys.registry());
  const RegStatus status = view.Begin();
  if (status != kErrorSuccess) {
    ReportSystemErrorF(status, "Could not backup %s", kTargets[0].rootName);
    return false;
  }
  for (size_t i = 0; i < std::size(kTargets); ++i) {
    if (!BackUpRoot(kTargets[i], files[i], keys, spinner)) return false;
  }
  return true;
}
