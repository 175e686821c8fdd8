// The registry the tool runs against: the local store, with the registries of other machines
// behind it. A connect goes to the remote backend, and so does every call on a handle it gave;
// everything else goes to the local store.
#ifndef DORVALEX_REGISTRY_MACHINE_REGISTRY_H_
#define DORVALEX_REGISTRY_MACHINE_REGISTRY_H_

#include <memory>

#include "registry/remote/remote_registry.h"
#include "registry/registry_service.h"

// `local` serves the predefined roots and the keys opened below them. `remote` is made on the
// first connect (from the environment, unless given) and lives until this service ends, which
// ends every transport. A run's batch of changes (BeginChanges .. EndChanges) goes to the
// remote backend when `batchRemote`, else to the local store.
std::unique_ptr<RegistryService> OpenMachineRegistry(
    std::unique_ptr<RegistryService> local, std::unique_ptr<RemoteRegistry> remote = nullptr,
    bool batchRemote = false);

#endif  // DORVALEX_REGISTRY_MACHINE_REGISTRY_H_
