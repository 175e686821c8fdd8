// Windows hive files as a registry: a Windows folder (the mounted system drive) or a single
// hive file, its hives placed under HKEY_LOCAL_MACHINE and HKEY_USERS as Windows places them.
#ifndef DORVALEX_REGISTRY_HIVE_HIVE_STORE_H_
#define DORVALEX_REGISTRY_HIVE_HIVE_STORE_H_

#include <memory>
#include <string>

#include "registry/registry_service.h"
#include "registry/tree_store.h"

// Whether `path` names hive files: a folder holding Windows/System32/config (names matched
// without regard to case), or a file that begins with "regf".
bool IsHiveImage(const std::string& path);

// The tree of the hives at `path` (see IsHiveImage). Never fails: a problem shows as
// status(). In a Windows folder: config/SOFTWARE, SYSTEM, SAM, SECURITY and any other hive
// there under HKLM, config/DEFAULT as HKU\.DEFAULT, and HKU\<SID> for each profile of
// SOFTWARE's ProfileList whose NTUSER.DAT lies in the folder; HKCU is the profile that
// $DORVALEX_HIVE_USER names (its SID or its folder's name). A single file is the key its name
// says: SOFTWARE, SYSTEM, SAM, SECURITY -> HKLM\<NAME>; DEFAULT -> HKU\.DEFAULT; NTUSER.DAT ->
// HKCU; any other -> HKLM\<NAME in upper case>. HKLM\SYSTEM\CurrentControlSet is the control
// set that SYSTEM's Select\Current names, looked up on every call.
std::unique_ptr<TreeStore> OpenHiveStore(const std::string& path);

// The registry service over OpenHiveStore(path).
std::unique_ptr<RegistryService> OpenHiveRegistry(const std::string& path);

#endif  // DORVALEX_REGISTRY_HIVE_HIVE_STORE_H_
