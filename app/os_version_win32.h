// The Windows version query with the system call replaceable, so that tests can refuse the
// extended record (systems before NT 4.0 SP6 know only the plain one).
#ifndef DORVALEX_APP_OS_VERSION_WIN32_H_
#define DORVALEX_APP_OS_VERSION_WIN32_H_

#include "app/os_description.h"

// GetVersionExA's shape: `record` is an OSVERSIONINFOEXA whose size field says which record
// is asked for (156 bytes extended, 148 plain); nonzero on success.
using VersionCall = int (*)(void* record);

// QueryOsVersion through `getVersion`: the extended record first, then the plain one, and on
// the plain path the product type from the registry's ProductOptions key.
[[nodiscard]] bool QueryOsVersionWith(VersionCall getVersion, OsInfo* info);

#endif  // DORVALEX_APP_OS_VERSION_WIN32_H_
