// The few file calls of the hive backend: the base block check, replacing a hive whole and
// the lock that keeps one changing run per folder of hives.
#ifndef DORVALEX_REGISTRY_HIVE_HIVE_DISK_H_
#define DORVALEX_REGISTRY_HIVE_HIVE_DISK_H_

#include <cstdint>
#include <functional>
#include <string>

#include "registry/win32_codes.h"

struct HiveHeader {
  bool isHive = false;    // begins with "regf"
  bool clean = false;     // both sequence numbers equal and the checksum right
  bool checksumRight = false;
  uint32_t minor = 0;     // format version 1.minor
};

// Reads the base block of `path`. 2: no such file; 5: not readable; 0 otherwise (a file that
// is no hive gives isHive false).
RegStatus ReadHiveHeader(const std::string& path, HiveHeader* header);

// A private copy of the hive at `path` in memory, its base block checksum set right; *fd
// reads it. Closed by CloseCopy.
RegStatus CopyWithChecksumSet(const std::string& path, int* fd);
void CloseCopy(int fd);

// Whether `path` is a file (not a folder, not through a symbolic link at its end).
bool IsPlainFile(const std::string& path);
bool IsFolder(const std::string& path);

// Identifies the file now at a path, to see whether another run replaced it.
struct FileStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = -1;
  int64_t modifiedNs = 0;
  bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(const std::string& path);

// Writes `path` anew: `write` fills a private temporary file beside it (named by the path it
// is given, which reaches the open file), then the file is synced, renamed over `path` and the
// folder synced. 0 on success; on failure the original is untouched and no temporary file is
// left.
RegStatus ReplaceFile(const std::string& path,
                      const std::function<RegStatus(const std::string& tempPath)>& write);

// An advisory lock on a folder (never a file inside it, so that nothing is left behind).
class FolderLock {
 public:
  FolderLock() = default;
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  ~FolderLock();
  // Waits up to `waitMs`; 170 when another run keeps the folder that long.
  RegStatus Acquire(const std::string& folder, int waitMs);
  void Release();

 private:
  int fd_ = -1;
};

// The folder part of a path ("." when there is none).
std::string FolderOf(const std::string& path);

#endif  // DORVALEX_REGISTRY_HIVE_HIVE_DISK_H_
