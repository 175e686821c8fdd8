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
  // of a second, so that a crash loses little work and other readers see progress; but never
  // sooner than four times the last save's cost after it (before the first save, the first
  // line's cost).
  ChangeBatch(RegistryService& registry, BackoutFile& backout, const ScriptState& state);

  // Takes the store for this run, and its write lock for the first batch. False after the
  // report: another run keeps it too long, or it cannot be read. With `checkStore` false (the
  // store of another machine, reached only at the first key line) the store is not read here.
  [[nodiscard]] bool Begin(const std::string& storePath, bool checkStore = true);
  // At a line boundary: saves when it is due. False after the report when a save failed.
  [[nodiscard]] bool SaveIfDue();
  // Saves what is left and gives the store back; for a failed run too. False after the
  // report when changes could not be saved (reported once, also when a save failed before).
  [[nodiscard]] bool Finish();
  // While the batch is open, the store is another user's to change only between saves.
  bool open() const { return begun_; }
  uint64_t saves() const { return saves_; }

 private:
  bool Save();
  // Takes the store's write lock for the next batch before any line reads the store. A line
  // that cannot read the store would take a key for missing and record its deletion as the
  // undo; so a store that another writer keeps too long, or that cannot be read at all, stops
  // the run here with its own report. False after the report.
  bool HoldStore();

  RegistryService& registry_;
  BackoutFile& backout_;
  const ScriptState& state_;
  uint32_t maxLines_;
  uint32_t linesSinceSave_ = 0;
  uint64_t saves_ = 0;
  int32_t savedThrough_ = 0;  // the last line whose changes are in the store
  std::chrono::steady_clock::time_point lastSave_;
  std::chrono::steady_clock::duration lastSaveCost_{};
  bool saved_ = false;  // a save of this batch took place
  std::string storePath_;
  bool begun_ = false;
  bool checkStore_ = true;
  bool failed_ = false;  // a save failed and was reported
};

// Whether the store at `storePath` can be read (and, inside a batch, written) now: a line
// that cannot read it would take its key for missing. False after the report.
[[nodiscard]] bool CheckStoreReadable(RegistryService& registry, const std::string& storePath);

#endif  // DORVALEX_OPS_CHANGE_BATCH_H_
