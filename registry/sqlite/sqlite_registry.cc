// The local registry: the SQLite store under the tree core.
#include "registry/sqlite/sqlite_registry.h"

#include "platform/platform.h"
#include "registry/sqlite/sqlite_store.h"
#include "registry/sqlite/store_path.h"
#include "registry/tree_registry.h"

std::unique_ptr<RegistryService> OpenSqliteRegistry(const std::string& path) {
  if (path != ":memory:") CreateStoreFolder(path);
  // HKEY_CURRENT_USER is the user's key under HKEY_USERS, named by the user's identifier.
  return OpenTreeRegistry(
      std::make_unique<SqliteStore>(path, platform::CurrentUserSid()));
}
