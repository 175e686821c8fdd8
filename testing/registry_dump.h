// Test support: a deterministic text of a registry, read through the service interface only,
// so that two backends (or a store before and after a run) can be compared as text.
#ifndef DORVALEX_TESTING_REGISTRY_DUMP_H_
#define DORVALEX_TESTING_REGISTRY_DUMP_H_

#include <string>
#include <string_view>

#include "registry/registry_service.h"

// HKEY_LOCAL_MACHINE and HKEY_USERS, the two roots that hold data. One line per key, in
// depth-first enumeration order: "[HKEY_LOCAL_MACHINE\SOFTWARE]"; after it one line per value
// in enumeration order: `  "Name"=4:05000000` (type number, data as hex bytes), string
// types 1, 2 and 7 as quoted text: `  "Path"=1:"C:\\Temp\0"` (\\, \", \0 and \xNN escaped).
// A key that cannot be read shows "  !<call> <code>" in place of its content.
// kByName sorts each key's values by name, for comparisons where a restored value may come
// back at another place in its key.
enum class ValueOrder { kEnumeration, kByName };
std::string DumpRegistry(RegistryService& registry,
                         ValueOrder order = ValueOrder::kEnumeration);

// root\subkey with everything below it, its lines labelled from `label` (the path to print
// for root\subkey). "!open <code>\n" when the key cannot be opened.
std::string DumpRegistryKey(RegistryService& registry, KeyHandle root, std::string_view subkey,
                            std::string_view label,
                            ValueOrder order = ValueOrder::kEnumeration);

// The text form of one value's data as DumpRegistry writes it (`4:05000000`).
std::string DumpValueData(uint32_t type, std::string_view data);

#endif  // DORVALEX_TESTING_REGISTRY_DUMP_H_
