// Test support: the behaviour every registry backend owes its callers (names, case, order,
// result codes, buffer rules, deleted handles, the predefined roots and their views), as one
// suite that each backend's test binary registers against its own factory.
#ifndef DORVALEX_TESTING_REGISTRY_CONTRACT_H_
#define DORVALEX_TESTING_REGISTRY_CONTRACT_H_

#include <functional>
#include <memory>
#include <string>

#include "registry/registry_service.h"

// Makes a fresh registry that holds only the keys of a new store:
// HKLM\SOFTWARE\Classes, HKLM\SYSTEM\CurrentControlSet\Hardware Profiles\Current and
// HKU\.DEFAULT.
using RegistryFactory = std::function<std::unique_ptr<RegistryService>()>;

// Registers the contract tests as the GoogleTest suite `suite`; call it before RUN_ALL_TESTS
// (for instance from a static initializer in the backend's test file).
void RegisterRegistryContractTests(const std::string& suite, RegistryFactory factory);

#endif  // DORVALEX_TESTING_REGISTRY_CONTRACT_H_
