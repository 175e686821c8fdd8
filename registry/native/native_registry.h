// The registry of the running Windows system as a registry service: every call is the
// ADVAPI32 call of its name, on the predefined root handles as they are. Windows builds only.
#ifndef DORVALEX_REGISTRY_NATIVE_NATIVE_REGISTRY_H_
#define DORVALEX_REGISTRY_NATIVE_NATIVE_REGISTRY_H_

#include <memory>

#include "registry/registry_service.h"

// Changes reach the registry at each call: there is no batch to save, so BeginChanges and
// SaveChanges do nothing, and a caller that must have a change's record written first writes
// it before the call. The registry is shared with every program of the machine, so runs are
// not serialised against each other (a lock of this tool's own would not hold back any other
// writer).
//
// One key opened by RegCreateKeyA stays open after its RegCloseKey, so that the next line on
// the same key costs no open and close: a create of the same parent and subkey hands it out
// again. Callers see no difference: a handle they closed is refused with 6 as before, a second
// create of a key they hold gives a handle of its own, and a key deleted meanwhile (by this
// run or another program) is created again on its next use, as a new create would do. While
// that key is one this service created, a query for a value never set through it is answered
// "not found" without asking the system: in a new key a value line then costs its set alone.
std::unique_ptr<RegistryService> OpenNativeRegistry();

#endif  // DORVALEX_REGISTRY_NATIVE_NATIVE_REGISTRY_H_
