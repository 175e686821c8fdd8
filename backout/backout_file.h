// The backout file being written: every write is checked and reaches the file before the
// registry change that it undoes is saved, so a full disk stops the run instead of losing
// records.
#ifndef DORVALEX_BACKOUT_BACKOUT_FILE_H_
#define DORVALEX_BACKOUT_BACKOUT_FILE_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

class BackoutFile {
 public:
  BackoutFile() = default;
  ~BackoutFile() = default;
  BackoutFile(const BackoutFile&) = delete;
  BackoutFile& operator=(const BackoutFile&) = delete;

  // Creates `path` for writing, private to the running user; an existing file is emptied
  // only when `overwrite`, and never through another user's link. False without a report;
  // the caller words it.
  [[nodiscard]] bool Create(const std::string& path, bool overwrite);
  bool IsOpen() const { return file_.IsOpen(); }
  const std::string& path() const { return path_; }
  // The file this object created, so that a later rewrite replaces only that file.
  const platform::FileId& id() const { return id_; }

  // Records written from now on may wait in the buffer until Sync: for a run whose changes
  // reach the registry only after the Sync (saved in batches), not one that changes another
  // machine call by call.
  void DeferFlushes() { deferFlushes_ = true; }

  // Appends `text` and flushes it to the file (unless flushes are deferred). On failure reports
  // "Unable to Write Backout File \"<path>\"", marks the file failed and returns false; every
  // later write then fails without a second report.
  [[nodiscard]] bool Write(std::string_view text);
  bool failed() const { return failed_; }

  // Puts what was written on the disk itself (not only in the system's cache). On failure
  // reports like Write and marks the file failed.
  [[nodiscard]] bool Sync();

  // Syncs the file to disk and closes it. False when a write or the sync failed.
  [[nodiscard]] bool Close();

 private:
  // Writes the buffered text to the file. False when the write failed.
  bool Drain();

  platform::File file_;
  platform::FileId id_;
  std::string buffer_;
  uint64_t unsynced_ = 0;  // bytes written since the system was last asked to sync
  std::string path_;
  bool failed_ = false;
  bool deferFlushes_ = false;
};

#endif  // DORVALEX_BACKOUT_BACKOUT_FILE_H_
