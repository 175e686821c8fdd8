// The registry of this machine that the tool works on when no other machine is named.
#ifndef DORVALEX_REGISTRY_LOCAL_REGISTRY_H_
#define DORVALEX_REGISTRY_LOCAL_REGISTRY_H_

#include <memory>
#include <string>

#include "registry/registry_service.h"

// Where the local registry lives: $DORVALEX_REGISTRY when set, else the default store. Empty
// where the system keeps the registry itself (Windows).
std::string LocalRegistryPath();
// Whether `path` names the local store or a file kept beside it (see IsStoreFile).
bool IsLocalRegistryFile(const std::string& path);
// The file that another changing run holds locked while it keeps the local store.
std::string LocalRegistryLockPath();

// A service over the local registry. Opening never fails here: a problem shows as the code of
// each call.
std::unique_ptr<RegistryService> OpenLocalRegistry();

// The registry a run works on: the local one, through which the registries of other machines
// (/MACHINE:) are reached. With `batchRemote` a run's batch of changes goes to the other
// machine (where the registry holds changes in batches).
std::unique_ptr<RegistryService> OpenRunRegistry(bool batchRemote);

#endif  // DORVALEX_REGISTRY_LOCAL_REGISTRY_H_
