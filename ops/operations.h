// The six operations of a script line, each writing the backout records that undo its change
// before it makes the change.
#ifndef DORVALEX_OPS_OPERATIONS_H_
#define DORVALEX_OPS_OPERATIONS_H_

#include "ops/run_settings.h"
#include "backout/backout_file.h"
#include "ops/change_batch.h"
#include "ops/value_operation.h"
#include "registry/key_path.h"
#include "script/operation_handlers.h"
#include "script/script_state.h"

class Operations final : public OperationHandlers {
 public:
  // `batch`, when given, saves the changes as lines complete.
  Operations(const RunSettings& settings, ScriptState& state, KeyAccess& keys,
             BackoutFile& backout, ChangeBatch* batch = nullptr)
      : settings_(settings), state_(state), keys_(keys), backout_(backout), batch_(batch) {}

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
  const RunSettings& settings_;
  ScriptState& state_;
  KeyAccess& keys_;
  BackoutFile& backout_;
  ChangeBatch* batch_;
  RecordedValues recorded_;  // values whose old state the backout file holds
};

#endif  // DORVALEX_OPS_OPERATIONS_H_
