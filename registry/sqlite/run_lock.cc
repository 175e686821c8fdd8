// The run lock on the store file, taken with flock so that it never meets SQLite's own
// record locks on the same file.
#include "registry/sqlite/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

RunLock::~RunLock() {
  if (fd_ >= 0) close(fd_);
}

RegStatus RunLock::Acquire(const std::string& path, int waitMs) {
  if (held_) return kErrorSuccess;
  if (fd_ < 0) fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return kErrorSuccess;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
      held_ = true;
      return kErrorSuccess;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) return kErrorSuccess;  // no locks here
    if (std::chrono::steady_clock::now() >= deadline) return kErrorBusy;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

void RunLock::Release() {
  if (held_) flock(fd_, LOCK_UN);
  held_ = false;
}
