// The run lock on the store file: the platform's advisory file lock, which never meets
// SQLite's own record locks on the same file.
#include "registry/sqlite/run_lock.h"

RegStatus RunLock::Acquire(const std::string& path, int waitMs) {
  // A file that cannot be opened or locked here takes no lock: the store's own calls then
  // report why.
  return lock_.Acquire(path, waitMs) == platform::FileLock::kBusy ? kErrorBusy : kErrorSuccess;
}

void RunLock::Release() { lock_.Release(); }
