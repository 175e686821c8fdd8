// The backout file being written. Its contract with the rest of the tool:
//  1. Every record reaches the file before the registry change that it undoes: flushed at
//     once, or, with deferred flushes, synced before the batch holding the change is saved.
//  2. A failed write is reported once and every later write fails, so the run stops changing
//     the registry at the first record that could not be kept.
//  3. Close syncs the file to disk before it is reversed or left behind.
#include "backout/backout_file.h"

#include "report/report.h"

namespace {

// Records are buffered up to this size while flushes are deferred.
constexpr size_t kBufferSize = 1 << 16;

// Each time this much more was written, the system is asked to start putting it on disk, so
// that the sync at the end of a large file (a full backup) waits for the last part only.
constexpr uint64_t kStartSyncBytes = 8 << 20;

}  // namespace

bool BackoutFile::Create(const std::string& path, bool overwrite) {
  path_ = path;
  failed_ = false;
  deferFlushes_ = false;
  buffer_.clear();
  unsynced_ = 0;
  file_ = platform::File();
  bool opened = platform::OpenForWriting(
      path, overwrite ? platform::Existing::kTruncate : platform::Existing::kRefuse, &file_);
  id_ = file_.id();
  return opened;
}

bool BackoutFile::Drain() {
  bool written = file_.Write(buffer_);
  unsynced_ += buffer_.size();
  buffer_.clear();
  if (written && unsynced_ >= kStartSyncBytes) {
    file_.StartSync();
    unsynced_ = 0;
  }
  return written;
}

bool BackoutFile::Write(std::string_view text) {
  if (failed_) return false;
  bool written = file_.IsOpen();
  if (written) {
    buffer_.append(text);
    if (!deferFlushes_ || buffer_.size() >= kBufferSize) written = Drain();
  }
  if (!written) {
    failed_ = true;
    ReportErrorF("Unable to Write Backout File \"%s\"", path_.c_str());
  }
  return written;
}
bool BackoutFile::Sync() {
  if (failed_) return false;
  if (file_.IsOpen() && Drain() && file_.Sync()) return true;
  failed_ = true;
  ReportErrorF("Unable to Write Backout File \"%s\"", path_.c_str());
  return false;
}

bool BackoutFile::Close() {
  if (!file_.IsOpen()) return !failed_;
  bool synced = Drain() && file_.Sync(/*metadata=*/true);
  bool closed = file_.Close();
  if (!failed_ && !(synced && closed)) {
    failed_ = true;
    ReportErrorF("Unable to Write Backout File \"%s\"", path_.c_str());
  }
  return !failed_;
}
