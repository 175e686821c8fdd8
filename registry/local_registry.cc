// The local registry: the SQLite store at its default place, or the Windows hive files that
// $DORVALEX_REGISTRY names (told apart by content).
#include "registry/local_registry.h"

#include "registry/hive/hive_store.h"
#include "registry/sqlite/sqlite_registry.h"

std::string LocalRegistryPath() { return DefaultStorePath(); }

std::unique_ptr<RegistryService> OpenLocalRegistry() {
  std::string path = LocalRegistryPath();
  if (IsHiveImage(path)) return OpenHiveRegistry(path);
  return OpenSqliteRegistry(path);
}
