// DELETE: removes a key with everything below it, after a snapshot of it in the backout file,
// or one value, after a record of its old data.
#include "backout/record_format.h"
#include "backout/snapshot.h"
#include "ops/operations.h"
#include "ops/value_operation.h"
#include "report/report.h"
#include "script/line_helpers.h"
#include "script/value_text.h"

namespace {

constexpr std::string_view kDeleteLabel = "DELETE : [";

}  // namespace

bool Operations::DeleteKey(std::string_view text) {
  ReleaseHeldKey();
  if (!SetCurrentKey(text, state_)) return false;
  if (IsRootKeyPath(state_.currentKey)) {
    ReportError("Invalid Key - a root key cannot be deleted");
    ReportLine(state_, state_.currentKey);
    return false;
  }
  bool unknown = false;
  bool exists = keys_.KeyPathExists(state_.currentKey, settings_.machineName, &unknown);
  if (unknown) return false;
  if (settings_.backoutOpen) {
    if (exists) {
      if (!SnapshotKey(keys_, backout_, state_.currentKey, settings_.machineName, nullptr)) {
        ReportError("Could not create backout for key - it was not deleted");
        return false;
      }
      state_.keyBackoutState = keyExisted;
      // The snapshot ends in the block of the key's last subkey; value lines under this key
      // line start a block of their own, so their records apply to this key when undone.
      state_.blockHeaderWritten = false;
    } else {
      state_.keyBackoutState = keyMissing;
      state_.blockHeaderWritten = false;
    }
  }
  if (settings_.noAction || !exists) return true;
  if (!keys_.DeleteKeyPath(state_.currentKey, settings_.machineName)) return false;
  PrintSuccess(settings_, state_, kDeleteLabel, text);
  return true;
}

bool Operations::DeleteValue(std::string_view text) {
  ReleaseHeldKey();
  // The key is only opened: a value under a missing key is simply absent, and deleting it must
  // not leave behind a key that no record removes.
  ScopedKey key(keys_, settings_, state_);
  if (!OpenKeyWithoutCreating(keys_, settings_, state_, key.out())) return false;
  std::string name;
  if (!SplitValueName(text, state_, &name)) return false;
  OldValue old;
  if (!ReadOldValue(keys_.registry(), key.get(), name, state_, text, &old)) return false;
  if (old.present && RecordsWanted(settings_, state_)) {
    std::string record;
    AppendValueRecord(name, DefaultName::kAt, old.type, old.data, &record);
    if (!WriteValueRecord(backout_, state_, record)) return false;
    if (!state_.isRegedit4) recorded_.Add(state_.currentKey, name);  // as RecordOldValue
  }
  if (settings_.noAction || !old.present) return true;

  RegStatus status = keys_.registry().RegDeleteValueA(key.get(), name);
  key.Release();  // before the report, so that the console keeps the order of events
  if (status != kErrorSuccess) {
    ReportSystemError(status, "Unable to Delete Value");
    ReportLine(state_, text);
    return false;
  }
  PrintSuccess(settings_, state_, kDeleteLabel, text);
  return true;
}
