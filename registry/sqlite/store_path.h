// Where the local store lives and the creation of its folder on first use.
#ifndef DORVALEX_REGISTRY_SQLITE_STORE_PATH_H_
#define DORVALEX_REGISTRY_SQLITE_STORE_PATH_H_

#include <string>

// Creates the missing folders above the store file `path`, private to the running user (0700).
// False when a folder cannot be made; opening the store then reports why.
bool CreateStoreFolder(const std::string& path);

#endif  // DORVALEX_REGISTRY_SQLITE_STORE_PATH_H_
