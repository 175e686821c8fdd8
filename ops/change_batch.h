// Saves a run's registry changes in batches, each only once the backout records that undo it
// are on disk: at every moment, every change in the store has its record in the backout file.
// Saving call by call would cost a store transaction per change; a batch costs one per save.
#ifndef DORVALEX_OPS_CHANGE_BATCH_H_
#define DORVALEX_OPS_CHANGE_BATCH_H_

#include <chrono>
#include <cstdint>
#include <string>

#include "backout/backout_file.h"
#include "registry/registry_service.h"
#include "script/script_state.h"

class ChangeBatch {
 public:
  // Saves at least every `maxLines` lines ($DORVALEX_SAVE_LINES, else 8192) and every quarter
  // of a second, so that a crash loses little work and other readers see progress.
  ChangeBatch(RegistryService& registry, BackoutFile& backout, const ScriptState& state);

  // Takes the store for this run. False after the report: another run keeps it too long.
  [[nodiscard]] bool Begin(const std::string& storePath);
  // At a line boundary: saves when it is due. False after the report when a save failed.
  [[nodiscard]] bool SaveIfDue();
  // Saves what is left and gives the store back; for a failed run too. False after the
  // report when changes could not be saved.
  [[nodiscard]] bool Finish();

 private:
  bool Save();

  RegistryService& registry_;
  BackoutFile& backout_;
  const ScriptState& state_;
  uint32_t maxLines_;
  uint32_t linesSinceSave_ = 0;
  int32_t savedThrough_ = 0;  // the last line whose changes are in the store
  std::chrono::steady_clock::time_point lastSave_;
  bool begun_ = false;
};

#endif  // DORVALEX_OPS_CHANGE_BATCH_H_
