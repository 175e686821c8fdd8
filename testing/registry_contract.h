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

// Where a backend answers otherwise than the registry these cases describe. A backend declares
// its traits once, where it registers the suite; each trait relaxes only the expectations it
// names, and every other expectation holds for every backend.
struct RegistryTraits {
  // The system's own registry: it holds keys of its own and keeps what each case made. The
  // checks of a new store's whole content (NewStoreHoldsTheInitialKeys, the listings of HKLM
  // and HKCR in RootsAndTheirViews) are skipped, a listing is checked only for the keys the
  // case made, each case first removes what an earlier run left, and HKEY_PERFORMANCE_DATA,
  // which is no key of the tree there, is not probed.
  bool liveRegistry = false;
  // Names pass through the code page to UTF-16 and the system's own rules: bytes above 127 are
  // not compared as they are (NamesIgnoreAsciiCaseAndKeepTheirFirstCase), and malformed subkey
  // paths get the system's answers (SubkeyPathsAndNamesHaveLimits; Wine accepts doubled and
  // trailing backslashes, gives 161 for a leading one and 234 for a 255-character level);
  // the longest name and data a key reports are what UTF-8 may make of UTF-16 (three bytes a
  // unit: ValueDataAndTypesRoundTrip).
  bool systemNameRules = false;
  // Subkeys enumerate by lower-cased name, so "_" sorts before letters (Wine; Windows sorts
  // upper-cased). Relaxes SubkeysEnumerateByUpperCasedNameBytes to that order.
  bool subkeysSortedLowerCased = false;
  // Values enumerate sorted by name instead of in creation order (Wine). Relaxes
  // ValuesEnumerateInCreationOrder to that order.
  bool valuesSortedByName = false;
  // New key names outside ASCII are refused with 50, and data past what one value can hold in
  // the store's format (well under 16 MiB) too (hive files through hivex). Relaxes
  // NamesIgnoreAsciiCaseAndKeepTheirFirstCase, SubkeysEnumerateByUpperCasedNameBytes and
  // ValueDataAndTypesRoundTrip.
  bool asciiKeyNamesOnly = false;
  bool limitedValueData = false;
};

// The system's registry as Wine serves it, where this project's Windows tests run: live, named
// by the system's rules, subkeys and values listed in Wine's orders.
inline RegistryTraits WineRegistryTraits() {
  RegistryTraits traits;
  traits.liveRegistry = traits.systemNameRules = true;
  traits.subkeysSortedLowerCased = traits.valuesSortedByName = true;
  return traits;
}

// Registers the contract tests as the GoogleTest suite `suite`; call it before RUN_ALL_TESTS
// (for instance from a static initializer in the backend's test file).
void RegisterRegistryContractTests(const std::string& suite, RegistryFactory factory,
                                   const RegistryTraits& traits = {});

#endif  // DORVALEX_TESTING_REGISTRY_CONTRACT_H_
