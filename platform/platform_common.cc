// The part of the platform interface that is the same on every system, built on each
// system's own calls.
#include "base/ascii_case.h"
#include "platform/platform.h"
#include "platform/platform_internal.h"

namespace platform {

bool SameFile(const std::string& a, const std::string& b) {
  FileId idA, idB;
  return IdentifyFile(a, &idA) && IdentifyFile(b, &idB) && idA == idB;
}

bool SameEntry(const std::string& a, const std::string& b) {
  if (SameFile(a, b)) return true;
  std::string folderA, nameA, folderB, nameB;
  SplitPath(a, &folderA, &nameA);
  SplitPath(b, &folderB, &nameB);
  const bool sameName = kNamesIgnoreCase ? EqualsIgnoringCase(nameA, nameB) : nameA == nameB;
  return sameName && SameFile(folderA, folderB);
}

}  // namespace platform
