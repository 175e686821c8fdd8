// The store kept by one changing run at a time: an advisory lock on the file "<store>.lock"
// (created 0600 beside the store and left there), held from the run's first change to its
// end, so that two runs never interleave their batches and each backout file undoes exactly
// its own run. A user who may only read the store cannot take it.
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
  ~RunLock() = default;

  // Waits up to `waitMs` for the lock of the store `storePath`. 170 when another run keeps it
  // that long; 0 also when the lock file cannot be made (the store's own calls then report
  // why).
  RegStatus Acquire(const std::string& storePath, int waitMs);
  void Release();

 private:
  platform::FileLock lock_;
};

#endif  // DORVALEX_REGISTRY_SQLITE_RUN_LOCK_H_
