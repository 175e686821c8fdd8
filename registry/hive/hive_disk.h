// The file calls of the hive backend beyond the platform layer: hivex reads and writes hives
// by file name, so these reach open files through /proc (POSIX, Linux); the base block check,
// a private copy in memory, a new copy of a hive written beside it and published by rename.
#ifndef DORVALEX_REGISTRY_HIVE_HIVE_DISK_H_
#define DORVALEX_REGISTRY_HIVE_HIVE_DISK_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

// The names in `folder` (without "." and ".."), empty when it cannot be read.
std::vector<std::string> FolderEntries(const std::string& folder);

// The path of the entry of `folder` named `name` without regard to ASCII case (as Windows
// finds files); empty when there is none.
std::string FindCaseless(const std::string& folder, const std::string& name);

// A new copy of a file, written whole and synced under a temporary name beside it, then
// renamed over the file: a crash leaves the old file or the new one, never a mix. Several
// files are replaced together by preparing all before publishing any.
class Replacement {
 public:
  Replacement() = default;
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  // Removes the copy unless it was published.
  ~Replacement();

  // `write` fills a private temporary file beside `path` through the path it is given (which
  // reaches the open file); the file is then synced and named. The file has no name until it
  // is whole, where the file system allows.
  RegStatus Prepare(const std::string& path,
                    const std::function<RegStatus(const std::string& tempPath)>& write);
  // Renames the copy over the file.
  RegStatus Publish();
  // Syncs the folder, so that the rename outlasts a crash of the machine.
  RegStatus Finish();

 private:
  std::string path_;
  std::string temp_;
  bool published_ = false;
};

// Removes the temporary files a killed run may have left in `folder` (call it holding the
// folder's lock).
void RemoveLeftTemps(const std::string& folder);

// The folder part of a path ("." when there is none).
std::string FolderOf(const std::string& path);

#endif  // DORVALEX_REGISTRY_HIVE_HIVE_DISK_H_
