// The registry calls over any tree store: handles, the predefined roots and their views
// (HKCR, HKCU, HKCC, HKPD), access checks, the Win32 buffer rules, the consistent read and the
// batches of a run. A backend that keeps its own tree of keys gives a TreeStore and gets the
// whole registry behaviour from here.
#ifndef DORVALEX_REGISTRY_TREE_REGISTRY_H_
#define DORVALEX_REGISTRY_TREE_REGISTRY_H_

#include <memory>

#include "registry/registry_service.h"
#include "registry/tree_store.h"

// A registry service over `store`, which it owns. Never fails: a store that could not be
// opened gives its status() as the code of every call.
std::unique_ptr<RegistryService> OpenTreeRegistry(std::unique_ptr<TreeStore> store);

#endif  // DORVALEX_REGISTRY_TREE_REGISTRY_H_
