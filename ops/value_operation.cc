// Pieces every value operation shares: reading the value about to change, starting a key's
// block in the backout file, the record form of a value name, and the success line.
#include "ops/value_operation.h"

#include <vector>

#include "report/report.h"
#include "script/value_text.h"

OldValue ReadOldValue(RegistryService& registry, KeyHandle key, std::string_view name,
                      ScriptState& state) {
  OldValue old;
  if (key == kNoKey) return old;
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
    if (buffer.size() < static_cast<size_t>(size) * 2) buffer.resize(static_cast<size_t>(size) * 2);
    size = state.lineCapacity;
    status = registry.RegQueryValueExA(key, name, &type, buffer.data(), &size);
  }
  if (status != kErrorSuccess) return old;
  old.present = true;
  old.type = type;
  old.data.assign(reinterpret_cast<const char*>(buffer.data()), size);
  return old;
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
  text.append("\nUPDATE:[").append(state.currentKey).append("]\n").append(record);
  if (!backout.Write(text)) return false;
  state.blockHeaderWritten = true;
  return true;
}

bool RecordOldValue(const RunSettings& settings, ScriptState& state, BackoutFile& backout,
                    std::string_view name, const OldValue& old) {
  if (!RecordsWanted(settings, state)) return true;
  if (!old.present && settings.changesOnly) return true;
  // The record is built in one buffer that serves every line.
  static std::string record;
  record.assign(old.present ? "UPDATE:" : "DELETE:");
  if (name.empty()) {
    record.push_back('@');
  } else {
    record.push_back('"');
    AppendEscapedValueName(name, &record);
    record.push_back('"');
  }
  record.push_back('=');
  if (old.present) AppendValueForRecord(old.type, old.data, &record);
  record.push_back('\n');
  return WriteValueRecord(backout, state, record);
}

std::string RecordName(std::string_view name) {
  if (name.empty()) return "@";
  std::string quoted = "\"";
  quoted.append(EscapeValueName(name)).push_back('"');
  return quoted;
}

void PrintSuccess(const RunSettings& settings, const ScriptState& state, std::string_view label,
                  std::string_view text) {
  if (settings.quiet) return;
  std::string line(label);
  line.append(std::to_string(state.lineNumber)).append("] Success - ").append(text);
  Print(line);
}
