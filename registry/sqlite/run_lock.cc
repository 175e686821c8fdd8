// The run lock: the platform's advisory file lock on "<store>.lock", a private file beside
// the store that only a user who may write it (and so the store's folder) can lock.
#include "registry/sqlite/run_lock.h"

#include "registry/sqlite/sqlite_registry.h"

RegStatus RunLock::Acquire(const std::string& storePath, int waitMs) {
  // A lock file that cannot be made or locked here takes no lock: a user who may not write
  // the store's folder may not write the store either, and the store's own calls report why.
  const platform::FileLock::Result result =
      lock_.Acquire(RunLockPath(storePath), waitMs, /*create=*/true);
  return result == platform::FileLock::kBusy ? kErrorBusy : kErrorSuccess;
}

void RunLock::Release() { lock_.Release(); }
