// Pieces that every value operation shares: reading the value about to change, the block
// header rule of the backout file, and the success line.
#ifndef DORVALEX_OPS_VALUE_OPERATION_H_
#define DORVALEX_OPS_VALUE_OPERATION_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/name_table.h"
#include "ops/run_settings.h"
#include "backout/backout_file.h"
#include "ops/key_path.h"
#include "registry/registry_service.h"
#include "script/script_state.h"

// The largest value data one script line may build: 64 MiB. A line whose new data would be
// larger is refused before anything is recorded or changed, so that a short script cannot make
// the tool build gigabytes (each edit of a multi-string may double it), and no size is ever cut
// when it is handed to the registry as 32 bits.
inline constexpr size_t kMaxScriptValueSize = size_t{64} << 20;

// True when `size` bytes of new data fit kMaxScriptValueSize. Otherwise reports "Value Too
// Large" with 8 (not enough memory) and the line `text`, and returns false.
[[nodiscard]] bool CheckValueSize(size_t size, const ScriptState& state, std::string_view text);

struct OldValue {
  bool present = false;
  uint32_t type = 0;
  std::string data;  // the value's bytes
};

// Reads value `name` of `key` into *old (kNoKey reads as absent). Only "not found" (2) means
// absent: any other failure (a lost connection, a busy or damaged store) reports "Unable to
// Query Value" with the line `text` and returns false, so the line stops before anything is
// recorded or changed. May raise state.lineCapacity to the value's size.
[[nodiscard]] bool ReadOldValue(RegistryService& registry, KeyHandle key, std::string_view name,
                                ScriptState& state, std::string_view text, OldValue* old);

// The current key opened for one line, given back on every way out of it. A no-action run and
// a key that was not found give it back silently; an open key is closed, and a failed close
// is reported but does not change the line's outcome.
class ScopedKey {
 public:
  ScopedKey(KeyAccess& keys, const RunSettings& settings, const ScriptState& state)
      : keys_(keys), settings_(settings), state_(state) {}
  ~ScopedKey() { Release(); }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;

  KeyHandle get() const { return key_; }
  // Where an open call puts the handle.
  KeyHandle* out() { return &key_; }
  // Gives the key back now, as the destructor would.
  void Release();
  // Hands the open key over to the caller, who gives it back.
  KeyHandle Detach() {
    const KeyHandle key = key_;
    key_ = kNoKey;
    return key;
  }
  // Closes the key now; false after the report when the close failed.
  [[nodiscard]] bool Close();

 private:
  KeyAccess& keys_;
  const RunSettings& settings_;
  const ScriptState& state_;
  KeyHandle key_ = kNoKey;
};

// Opens the current key without ever creating it: a missing key leaves *key == kNoKey, and
// its values read as absent. Outside a no-action run, a key that exists but cannot be opened
// that way is opened the creating way, whose report says why it cannot be changed (it creates
// nothing, the key is there). False after the report.
[[nodiscard]] bool OpenKeyWithoutCreating(KeyAccess& keys, const RunSettings& settings,
                                          const ScriptState& state, KeyHandle* key);

// True when a value line under the current key writes records: the backout file is open and
// the run did not create the key (a created key is removed whole by its DELETE block).
bool RecordsWanted(const RunSettings& settings, const ScriptState& state);

// Writes `record` (a whole record line with its "\n") after the block header
// "\nUPDATE:[currentKey]\n" when the block has none yet. False after the write failure report.
[[nodiscard]] bool WriteValueRecord(BackoutFile& backout, ScriptState& state,
                                    std::string_view record);

// The values of which the run's backout file holds a record already, by key path as the script
// wrote it and value name (ASCII letters folded, as the store compares them). Applied last-first,
// the first record of a value is the last one applied to it, so it alone decides what the value
// is given back; a later whole-state record of the same value changes nothing and can be left
// out. A key written two ways ("HKLM\A", "HKEY_LOCAL_MACHINE\A") only costs a second record.
class RecordedValues {
 public:
  bool Holds(std::string_view key, std::string_view name);
  void Add(std::string_view key, std::string_view name);

 private:
  // Lines name the same key one after the other, so the last key's names are kept at hand.
  using Names = NameTable;  // the folded names recorded under one key
  Names& NamesOf(std::string_view key);
  std::string& Fold(std::string_view name);

  std::unordered_map<std::string, Names> keys_;  // by folded key path
  std::string lastKey_;                           // as the script wrote it
  Names* lastNames_ = nullptr;
  std::string fold_;
};

// Writes the record that puts back `old`, the value `name` held before this line: its old data,
// or its deletion when it was absent (left out with /CHANGES). Such a record holds the old
// state whole, so applying it where the change never reached the store (a run killed before
// its batch was saved) changes nothing. Writes nothing when no records are wanted, or, when
// `firstOnly`, when `recorded` holds the value already (so that many edits of one value cost
// one record, not one copy of it per line). Adds a value it records to `recorded`. False after
// the write failure report.
[[nodiscard]] bool RecordOldValue(const RunSettings& settings, ScriptState& state,
                                  BackoutFile& backout, std::string_view name,
                                  const OldValue& old, RecordedValues& recorded,
                                  bool firstOnly);

// Unless quiet: label + line number + "] Success - " + text (which brings its line end).
void PrintSuccess(const RunSettings& settings, const ScriptState& state, std::string_view label,
                  std::string_view text);

#endif  // DORVALEX_OPS_VALUE_OPERATION_H_
