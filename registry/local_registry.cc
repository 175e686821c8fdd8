// The local registry is the SQLite store at its default place.
#include "registry/local_registry.h"

#include "registry/machine_registry.h"
#include "registry/sqlite/sqlite_registry.h"

std::string LocalRegistryPath() { return DefaultStorePath(); }

bool IsLocalRegistryFile(const std::string& path) {
  return IsStoreFile(path, LocalRegistryPath());
}

std::string LocalRegistryLockPath() { return RunLockPath(LocalRegistryPath()); }

std::unique_ptr<RegistryService> OpenLocalRegistry() {
  return OpenSqliteRegistry(LocalRegistryPath());
}

// Other machines are reached through the agent behind the local store.
std::unique_ptr<RegistryService> OpenRunRegistry(bool batchRemote) {
  return OpenMachineRegistry(OpenLocalRegistry(), nullptr, batchRemote);
}
