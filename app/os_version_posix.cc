// The version query where the system has none (POSIX builds): an unnamed system.
#include "app/os_description.h"

bool QueryOsVersion(OsInfo* info) {
  *info = OsInfo();
  return true;
}
