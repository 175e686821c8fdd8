// The local registry is the SQLite store at its default place.
#include "registry/local_registry.h"

#include "registry/sqlite/sqlite_registry.h"

std::string LocalRegistryPath() { return DefaultStorePath(); }

bool IsLocalRegistryFile(const std::string& path) {
  return IsStoreFile(path, LocalRegistryPath());
}

std::string LocalRegistryLockPath() { return RunLockPath(LocalRegistryPath()); }

std::unique_ptr<RegistryService> OpenLocalRegistry() {
  return OpenSqliteRegistry(LocalRegistryPath());
}
