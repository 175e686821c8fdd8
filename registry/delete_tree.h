// Deletion of a key with everything below it: the registry deletes only keys without
// subkeys, so the walk goes depth-first and deletes from the leaves up.
#ifndef DORVALEX_REGISTRY_DELETE_TREE_H_
#define DORVALEX_REGISTRY_DELETE_TREE_H_

#include <string_view>

#include "registry/registry_service.h"

// Deletes parent\name (name may hold several levels) and its whole subtree. Stops at the
// first failure, which it reports once; what was deleted before stays deleted.
[[nodiscard]] bool DeleteKeyTree(RegistryService& registry, KeyHandle parent,
                                 std::string_view name);

#endif  // DORVALEX_REGISTRY_DELETE_TREE_H_
