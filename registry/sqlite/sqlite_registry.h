// The local registry store: one SQLite database file.
#ifndef DORVALEX_REGISTRY_SQLITE_SQLITE_REGISTRY_H_
#define DORVALEX_REGISTRY_SQLITE_SQLITE_REGISTRY_H_

#include <memory>
#include <string>

#include "registry/registry_service.h"

// A service over the store file at `path`. Opening never fails here: the file (and its folder)
// is created on first use, and a problem shows as the code of each call (1009 for a file that
// is not a store, 5 for a store that may not be written).
std::unique_ptr<RegistryService> OpenSqliteRegistry(const std::string& path);

// Where the default store lives: $DORVALEX_REGISTRY; else /var/lib/dorvalex/registry.db for
// root; else $XDG_DATA_HOME/dorvalex/registry.db or ~/.local/share/dorvalex/registry.db.
std::string DefaultStorePath();

// Whether `path` names the store file `storePath` or one of the files kept beside it (the
// write-ahead log, its index, the rollback journal, the run lock), existing or not: writing
// any of them would damage the store or lose what was written.
bool IsStoreFile(const std::string& path, const std::string& storePath);
// The file whose lock keeps the store `storePath` for one changing run.
std::string RunLockPath(const std::string& storePath);

#endif  // DORVALEX_REGISTRY_SQLITE_SQLITE_REGISTRY_H_
