// The system's registry against the registry contract (under Wine in this project's tests).
#include "registry/native/native_registry.h"

#include "testing/registry_contract.h"

namespace {

// The system's registry is live and names things by its own rules; Wine, where these tests
// run, also lists subkeys and values in its own orders.
const bool kRegistered = [] {
  RegisterRegistryContractTests("NativeRegistry", [] { return OpenNativeRegistry(); },
                                WineRegistryTraits());
  return true;
}();

}  // namespace
