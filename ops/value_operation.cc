// Pieces every value operation shares: reading the value about to change, starting a key's
// block in the backout file, the record form of a value name, and the success line.
#include "ops/value_operation.h"

#include <algorithm>
#include <functional>
#include <vector>

#include "backout/record_format.h"
#include "base/ascii_case.h"
#include "registry/key_names.h"
#include "report/report.h"
#include "script/line_helpers.h"
#include "script/value_text.h"

bool CheckValueSize(size_t size, const ScriptState& state, std::string_view text) {
  if (size <= kMaxScriptValueSize) return true;
  ReportSystemErrorF(kErrorNotEnoughMemory,
                     "Value Too Large - %llu bytes, more than the %llu a line may set",
                     static_cast<unsigned long long>(size),
                     static_cast<unsigned long long>(kMaxScriptValueSize));
  ReportLine(state, text);
  return false;
}

bool ReadOldValue(RegistryService& registry, KeyHandle key, std::string_view name,
                  ScriptState& state, std::string_view text, OldValue* old) {
  *old = OldValue();
  if (key == kNoKey) return true;
  // One buffer for every line: it grows to the largest value read and is never cleared.
  static std::vector<uint8_t> buffer;
  uint32_t type = 0;
  uint32_t size = state.lineCapacity;
  if (buffer.size() < size) buffer.resize(size);
  RegStatus status = registry.RegQueryValueExA(key, name, &type, buffer.data(), &size);
  if (status == kErrorMoreData) {
    // The value is larger than the line: the line capacity follows it, so that working copies
    // sized from it hold the value whole.
    state.lineCapacity = size;
    if (buffer.size() < size_t{size} * 2) buffer.resize(size_t{size} * 2);
    size = state.lineCapacity;
    status = registry.RegQueryValueExA(key, name, &type, buffer.data(), &size);
  }
  if (status == kErrorFileNotFound) return true;
  if (status != kErrorSuccess) {
    ReportSystemError(status, "Unable to Query Value");
    ReportLine(state, text);
    return false;
  }
  old->present = true;
  old->type = type;
  old->data.assign(reinterpret_cast<const char*>(buffer.data()), size);
  return true;
}

void ScopedKey::Release() {
  if (settings_.noAction || key_ == kNoKey) {
    keys_.ReleaseKeyPath(key_);
  } else {
    (void)keys_.CloseKeyPath(state_.currentKey, key_);
  }
  key_ = kNoKey;
}

bool ScopedKey::Close() {
  const KeyHandle key = key_;
  key_ = kNoKey;
  return keys_.CloseKeyPath(state_.currentKey, key);
}

bool OpenKeyWithoutCreating(KeyAccess& keys, const RunSettings& settings,
                            const ScriptState& state, KeyHandle* key) {
  if (!keys.OpenKeyPath(state.currentKey, key, true, settings.machineName)) return false;
  if (*key != kNoKey || settings.noAction) return true;
  keys.ReleaseKeyPath(*key);
  bool unknown = false;
  if (!keys.KeyPathExists(state.currentKey, settings.machineName, &unknown)) return !unknown;
  return keys.OpenKeyPath(state.currentKey, key, false, settings.machineName);
}

bool RecordsWanted(const RunSettings& settings, const ScriptState& state) {
  return settings.backoutOpen && state.keyBackoutState != keyCreated;
}

bool WriteValueRecord(BackoutFile& backout, ScriptState& state, std::string_view record) {
  if (state.blockHeaderWritten) return backout.Write(record);
  // Header and record go out in one write, so that the file never ends in a header whose
  // record did not reach the disk while the registry went on changing.
  std::string text;
  text.reserve(state.currentKey.size() + record.size() + 12);
  AppendBlockHeader(RecordKind::kUpdate, state.currentKey, &text);
  text.append(record);
  if (!backout.Write(text)) return false;
  state.blockHeaderWritten = true;
  return true;
}

std::string& RecordedValues::Fold(std::string_view name) {
  FoldAsciiCaseInto(name, &fold_);
  return fold_;
}

RecordedValues::Names& RecordedValues::NamesOf(std::string_view key) {
  if (lastNames_ && lastKey_ == key) return *lastNames_;
  lastNames_ = &keys_[Fold(key)];  // elements of an unordered_map stay where they are
  lastKey_.assign(key);
  return *lastNames_;
}

bool RecordedValues::Holds(std::string_view key, std::string_view name) {
  return NamesOf(key).Find(Fold(name)) != NameTable::kNone;
}

void RecordedValues::Add(std::string_view key, std::string_view name) {
  bool added = false;
  NamesOf(key).Insert(Fold(name), &added);
}

bool RecordOldValue(const RunSettings& settings, ScriptState& state, BackoutFile& backout,
                    std::string_view name, const OldValue& old, RecordedValues& recorded,
                    bool firstOnly) {
  if (!RecordsWanted(settings, state)) return true;
  if (firstOnly && recorded.Holds(state.currentKey, name)) return true;
  static std::string record;  // one buffer for every line's record
  record.clear();
  if (old.present) {
    AppendValueRecord(name, DefaultName::kAt, old.type, old.data, &record);
  } else if (settings.changesOnly) {
    return true;
  } else {
    AppendDeletedValueRecord(name, &record);
  }
  if (!WriteValueRecord(backout, state, record)) return false;
  // Only string edits ask, and an export has none.
  if (!state.isRegedit4) recorded.Add(state.currentKey, name);
  return true;
}

void PrintSuccess(const RunSettings& settings, const ScriptState& state, std::string_view label,
                  std::string_view text) {
  if (settings.quiet) return;
  std::string line(label);
  line.append(std::to_string(state.lineNumber)).append("] Success - ").append(text);
  Print(line);
}
