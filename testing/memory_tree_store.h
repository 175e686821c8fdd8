// Test support: a tree store held in memory, so that unit tests get the whole registry
// behaviour of the tree core without a store file, and the contract suite shows that any tree
// store gives the same registry.
#ifndef DORVALEX_TESTING_MEMORY_TREE_STORE_H_
#define DORVALEX_TESTING_MEMORY_TREE_STORE_H_

#include <memory>
#include <string>

#include "registry/registry_service.h"
#include "registry/tree_store.h"

// A store holding the keys of a new store (HKLM\SOFTWARE\Classes,
// HKLM\SYSTEM\CurrentControlSet\Hardware Profiles\Current, HKU\.DEFAULT). HKEY_CURRENT_USER
// shows HKU\`currentUser`; an empty name gives a store without a current user.
std::unique_ptr<TreeStore> NewMemoryTreeStore(const std::string& currentUser = "S-1-5-21-1000");

// The tree core over a new memory store.
std::unique_ptr<RegistryService> OpenMemoryRegistry(
    const std::string& currentUser = "S-1-5-21-1000");

#endif  // DORVALEX_TESTING_MEMORY_TREE_STORE_H_
