// The backout file being written. Its contract with the rest of the tool:
//  1. Every record reaches the file before the registry change that it undoes: flushed at
//     once, or, with deferred flushes, synced before the batch holding the change is saved.
//  2. A failed write is reported once and every later write fails, so the run stops changing
//     the registry at the first record that could not be kept.
//  3. Close syncs the file to disk before it is reversed or left behind.
#include "backout/backout_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>

#include "report/report.h"

namespace {

constexpr size_t kBufferSize = 1 << 16;

// Whether an fsync or fdatasync left the data kept. A pipe or a device such as /dev/null has
// no disk to reach (EINVAL): what was flushed to it is all there is.
bool Synced(int result) { return result == 0 || errno == EINVAL; }

}  // namespace

BackoutFile::~BackoutFile() {
  if (file_ != nullptr) fclose(file_);
}

bool BackoutFile::Create(const std::string& path) {
  if (file_ != nullptr) fclose(file_);
  path_ = path;
  failed_ = false;
  deferFlushes_ = false;
  file_ = fopen(path.c_str(), "w");
  if (file_ != nullptr) setvbuf(file_, nullptr, _IOFBF, kBufferSize);
  return file_ != nullptr;
}

bool BackoutFile::Write(std::string_view text) {
  if (failed_) return false;
  bool written = file_ != nullptr &&
                 fwrite(text.data(), 1, text.size(), file_) == text.size() &&
                 (deferFlushes_ || fflush(file_) == 0);
  if (!written) {
    failed_ = true;
    ReportErrorF("Unable to Write Backout File \"%s\"", path_.c_str());
  }
  return written;
}

bool BackoutFile::WriteF(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int needed = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (needed > 0) {
    text.resize(static_cast<size_t>(needed));
    vsnprintf(text.data(), text.size() + 1, format, args);
  }
  va_end(args);
  return Write(text);
}

bool BackoutFile::Sync() {
  if (failed_) return false;
  if (file_ != nullptr && fflush(file_) == 0 && Synced(fdatasync(fileno(file_)))) return true;
  failed_ = true;
  ReportErrorF("Unable to Write Backout File \"%s\"", path_.c_str());
  return false;
}

bool BackoutFile::Close() {
  if (file_ == nullptr) return !failed_;
  bool synced = fflush(file_) == 0 && Synced(fsync(fileno(file_)));
  bool closed = fclose(file_) == 0;
  file_ = nullptr;
  if (!failed_ && !(synced && closed)) {
    failed_ = true;
    ReportErrorF("Unable to Write Backout File \"%s\"", path_.c_str());
  }
  return !failed_;
}
