// The six operations of a script line, each writing the backout records that undo its change
// before it makes the change.
#ifndef DORVALEX_OPS_OPERATIONS_H_
#define DORVALEX_OPS_OPERATIONS_H_

#include "ops/run_settings.h"
#include "backout/backout_file.h"
#include "ops/change_batch.h"
#include "ops/value_operation.h"
#include "ops/key_path.h"
#include "script/operation_handlers.h"
#include "script/script_state.h"

class ScopedKey;

class Operations final : public OperationHandlers {
 public:
  // `batch`, when given, saves the changes as lines complete.
  Operations(const RunSettings& settings, ScriptState& state, KeyAccess& keys,
             BackoutFile& backout, ChangeBatch* batch = nullptr)
      : settings_(settings), state_(state), keys_(keys), backout_(backout), batch_(batch) {}
  ~Operations() { ReleaseHeldKey(); }
  Operations(const Operations&) = delete;
  Operations& operator=(const Operations&) = delete;

  bool UpdateKey(std::string_view text) override;    // ops/update.cc
  bool UpdateValue(std::string_view text) override;  // ops/update.cc
  bool DeleteKey(std::string_view text) override;    // ops/delete.cc
  bool DeleteValue(std::string_view text) override;  // ops/delete.cc
  bool AppendString(std::string_view text) override;   // ops/multi_string.cc
  bool PrependString(std::string_view text) override;  // ops/multi_string.cc
  bool RemoveString(std::string_view text) override;   // ops/multi_string.cc
  bool ReplaceString(std::string_view text) override;  // ops/multi_string.cc
  bool LineDone() override { return !batch_ || batch_->SaveIfDue(); }

 private:
  // The key of a value line. A local run that changes the registry keeps it open while value
  // lines follow one another under the same key, so that its path is resolved once per key
  // rather than once per line; every other operation gives it back first (ReleaseHeldKey).
  // False after the report.
  bool OpenValueKey(KeyHandle* key);
  // Keeps the key of a value line that succeeded open for the next line.
  void HoldValueKey(ScopedKey& key);
  void ReleaseHeldKey();

  const RunSettings& settings_;
  ScriptState& state_;
  KeyAccess& keys_;
  BackoutFile& backout_;
  ChangeBatch* batch_;
  // The name and data text of the current value line: buffers kept from line to line.
  std::string valueName_;
  std::string dataText_;
  KeyHandle heldKey_ = kNoKey;  // open for value lines under heldPath_
  std::string heldPath_;
  uint64_t heldSaves_ = 0;  // the batch's saves when the key was held
  RecordedValues recorded_;  // values whose old state the backout file holds
};

#endif  // DORVALEX_OPS_OPERATIONS_H_
