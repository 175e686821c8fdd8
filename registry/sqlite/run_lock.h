// The store kept by one changing run at a time: an advisory lock on the store file, held from
// the run's first change to its end, so that two runs never interleave their batches and each
// backout file undoes exactly its own run.
#ifndef DORVALEX_REGISTRY_SQLITE_RUN_LOCK_H_
#define DORVALEX_REGISTRY_SQLITE_RUN_LOCK_H_

#include <string>

#include "platform/platform.h"
#include "registry/win32_codes.h"

class RunLock {
 public:
  RunLock() = default;
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  // The file is closed only here: closing any descriptor of the store file would drop the
  // locks SQLite holds on it in this process, so the owner destroys the store first.
  ~RunLock() = default;

  // Waits up to `waitMs` for the lock on `path`. 170 when another run keeps it that long;
  // 0 also when the file cannot be opened (the store's own calls then report why).
  RegStatus Acquire(const std::string& path, int waitMs);
  void Release();

 private:
  platform::FileLock lock_;
};

#endif  // DORVALEX_REGISTRY_SQLITE_RUN_LOCK_H_
