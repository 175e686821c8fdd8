// UPDATE: makes a key exist and gives a value its data, after recording in the backout file
// what undoes it (the key's deletion, or the value's old data or its deletion).
#include "backout/record_format.h"
#include "ops/operations.h"
#include "ops/value_operation.h"
#include "report/report.h"
#include "script/line_helpers.h"
#include "script/value_text.h"

namespace {

constexpr std::string_view kUpdateLabel = "UPDATE : [";

// The highest key of `path` that does not exist yet: creating `path` creates it and everything
// between, so deleting it undoes the whole creation. Only asked for a path that is missing.
// Empty when the registry could not tell (reported).
std::string HighestMissingKey(KeyAccess& keys, const std::string& path,
                              const MachineName& machine) {
  // A path whose root is unknown has been reported once already; don't report it per level.
  if (!HasRootName(path)) return path;
  // Keys exist from the root down to the deepest one that does: asked from the bottom up, a
  // new key under an existing parent costs one question, not one per level.
  const size_t rootEnd = path.find('\\');
  if (rootEnd == std::string::npos) return path;
  std::string_view missing = path;
  for (size_t cut = path.rfind('\\'); cut != std::string::npos && cut > rootEnd;
       cut = path.rfind('\\', cut - 1)) {
    std::string ancestor = path.substr(0, cut);
    bool unknown = false;
    if (keys.KeyPathExists(ancestor, machine, &unknown)) break;
    if (unknown) return "";
    missing = std::string_view(path).substr(0, cut);
  }
  return std::string(missing);
}

}  // namespace

bool Operations::UpdateKey(std::string_view text) {
  ReleaseHeldKey();
  if (!SetCurrentKey(text, state_)) return false;
  if (settings_.backoutOpen) {
    bool unknown = false;
    if (keys_.KeyPathExists(state_.currentKey, settings_.machineName, &unknown)) {
      state_.keyBackoutState = keyExisted;
      state_.blockHeaderWritten = false;
    } else {
      if (unknown) return false;
      std::string created =
          HighestMissingKey(keys_, state_.currentKey, settings_.machineName);
      if (created.empty()) return false;
      std::string header;
      AppendBlockHeader(RecordKind::kDelete, created, &header);
      if (!backout_.Write(header)) return false;
      state_.keyBackoutState = keyCreated;
      state_.blockHeaderWritten = true;
    }
  }
  if (settings_.noAction) return true;
  ScopedKey key(keys_, settings_, state_);
  if (!keys_.OpenKeyPath(state_.currentKey, key.out(), false, settings_.machineName)) return false;
  if (!key.Close()) return false;
  PrintSuccess(settings_, state_, kUpdateLabel, text);
  return true;
}

bool Operations::OpenValueKey(KeyHandle* key) {
  if (heldKey_ != kNoKey && heldPath_ == state_.currentKey) {
    // Between two batches another user may have deleted the key: a key that is gone is
    // opened (created) again, as a line that opens its key itself would. Within one batch
    // only this run changes the store, and its key lines let the held key go.
    if ((batch_ && batch_->open() && batch_->saves() == heldSaves_) ||
        keys_.registry().RegQueryInfoKeyA(heldKey_, nullptr, nullptr, nullptr) ==
            kErrorSuccess) {
      *key = heldKey_;  // the line's own until it is done with it
      heldKey_ = kNoKey;
      return true;
    }
  }
  ReleaseHeldKey();
  return keys_.OpenKeyPath(state_.currentKey, key, settings_.noAction, settings_.machineName);
}

void Operations::HoldValueKey(ScopedKey& key) {
  // Another machine's key would keep its connection open; a no-action run may have no key.
  if (settings_.noAction || settings_.machineName || key.get() == kNoKey) return;
  heldKey_ = key.Detach();
  heldPath_ = state_.currentKey;
  heldSaves_ = batch_ ? batch_->saves() : 0;
}

void Operations::ReleaseHeldKey() {
  if (heldKey_ == kNoKey) return;
  keys_.ReleaseKeyPath(heldKey_);
  heldKey_ = kNoKey;
}

bool Operations::UpdateValue(std::string_view text) {
  ScopedKey key(keys_, settings_, state_);
  if (!OpenValueKey(key.out())) return false;
  std::string& name = valueName_;
  std::string& dataText = dataText_;
  if (!SplitValueLine(text, state_, &name, &dataText)) return false;
  // Data text in none of the value forms is refused before anything is recorded, so a typo
  // never replaces a value with an empty one, and a no-action run finds it too.
  ValueData data;
  if (!ReadValueData(dataText, text, state_, &data)) return false;
  if (!CheckValueSize(data.bytes.size(), state_, text)) return false;

  OldValue old;
  if (RecordsWanted(settings_, state_) &&
      (!ReadOldValue(keys_.registry(), key.get(), name, state_, text, &old) ||
       !RecordOldValue(settings_, state_, backout_, name, old, recorded_, false))) {
    return false;
  }
  if (settings_.noAction) return true;

  RegStatus status = keys_.registry().RegSetValueExA(
      key.get(), name, 0, data.type, data.bytes.data(), static_cast<uint32_t>(data.bytes.size()));
  if (status == kErrorSuccess)
    HoldValueKey(key);  // for the next line under the same key
  else
    key.Release();  // before the report, so that the console keeps the order of events
  if (status != kErrorSuccess) {
    ReportSystemError(status, "Unable to Create Value");
    ReportLine(state_, text);
    return false;
  }
  PrintSuccess(settings_, state_, kUpdateLabel, text);
  return true;
}
