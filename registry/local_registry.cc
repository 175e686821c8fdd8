// The local registry: the SQLite store at its default place, or the Windows hive files that
// $DORVALEX_REGISTRY names (told apart by content).
#include "registry/local_registry.h"

#include "registry/machine_registry.h"
#include "registry/sqlite/sqlite_registry.h"
#ifdef DX_HAVE_HIVE
#include "registry/hive/hive_store.h"
#endif

std::string LocalRegistryPath() { return DefaultStorePath(); }

bool IsLocalRegistryFile(const std::string& path) {
  return IsStoreFile(path, LocalRegistryPath());
}

std::string LocalRegistryLockPath() { return RunLockPath(LocalRegistryPath()); }

std::unique_ptr<RegistryService> OpenLocalRegistry() {
  std::string path = LocalRegistryPath();
#ifdef DX_HAVE_HIVE
  if (IsHiveImage(path)) return OpenHiveRegistry(path);
#endif
  return OpenSqliteRegistry(path);
}

// Other machines are reached through the agent behind the local store.
std::unique_ptr<RegistryService> OpenRunRegistry(bool batchRemote) {
  return OpenMachineRegistry(OpenLocalRegistry(), nullptr, batchRemote);
}
