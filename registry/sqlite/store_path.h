// Where the local store lives and the creation of its folder on first use.
#ifndef DORVALEX_REGISTRY_SQLITE_STORE_PATH_H_
#define DORVALEX_REGISTRY_SQLITE_STORE_PATH_H_

#include <string>

// Creates the missing folders above the store file `path`, private to the running user (0700).
// False when a folder cannot be made; opening the store then reports why.
bool CreateStoreFolder(const std::string& path);

// How long a run waits for a store that another run keeps: $DORVALEX_STORE_WAIT seconds
// (fractions allowed), else 60 seconds.
int StoreWaitMilliseconds();

#endif  // DORVALEX_REGISTRY_SQLITE_STORE_PATH_H_
