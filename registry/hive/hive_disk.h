// The hive backend's file work over the platform layer, in the registry's codes: the base
// block check, a private copy in memory, the folder lookups, and a new copy of a hive written
// beside it and published by rename (hivex reads and writes hives only by file name).
#ifndef DORVALEX_REGISTRY_HIVE_HIVE_DISK_H_
#define DORVALEX_REGISTRY_HIVE_HIVE_DISK_H_

#include <cstdint>
#include <functional>
#include <string>

#include "platform/platform.h"
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

// A private copy of the hive at `path` in memory, its base block checksum set right, open in
// *copy (platform::ReachingPath names it).
RegStatus CopyWithChecksumSet(const std::string& path, platform::File* copy);

// The path of the entry of `folder` named `name` without regard to ASCII case (as Windows
// finds files); empty when there is none.
std::string FindCaseless(const std::string& folder, const std::string& name);

// platform::StagedReplacement in the registry's codes: a new copy of a hive written beside it
// and renamed over it; several hives are replaced together by preparing all before publishing
// any. The copy is removed unless it was published.
class Replacement {
 public:
  // `write` fills the copy through the name it is given; its failure is returned as it is.
  RegStatus Prepare(const std::string& path,
                    const std::function<RegStatus(const std::string& tempPath)>& write);
  // Renames the copy over the file.
  RegStatus Publish();
  // Syncs the folder, so that the rename outlasts a crash of the machine.
  RegStatus Finish();

 private:
  platform::StagedReplacement staged_;
};

// The folder part of a path ("." when there is none).
std::string FolderOf(const std::string& path);

#endif  // DORVALEX_REGISTRY_HIVE_HIVE_DISK_H_
