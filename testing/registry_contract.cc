// The registry contract suite: one test per behaviour, each on a fresh registry.
#include "testing/registry_contract.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "registry/delete_tree.h"
#include "testing/registry_dump.h"

namespace {

// Small helpers that fail the test on any unexpected code.
KeyHandle Create(RegistryService& r, KeyHandle parent, std::string_view subkey) {
  KeyHandle key = kNoKey;
  EXPECT_EQ(r.RegCreateKeyA(parent, subkey, &key), kErrorSuccess) << subkey;
  return key;
}

RegStatus OpenCode(RegistryService& r, KeyHandle parent, std::string_view subkey) {
  KeyHandle key = kNoKey;
  RegStatus status = r.RegOpenKeyA(parent, subkey, &key);
  if (status == kErrorSuccess) {
    r.RegCloseKey(key);
  } else {
    EXPECT_EQ(key, kNoKey);
  }
  return status;
}

RegStatus Set(RegistryService& r, KeyHandle key, std::string_view name, uint32_t type,
              std::string_view data) {
  return r.RegSetValueExA(key, name, 0, type, reinterpret_cast<const uint8_t*>(data.data()),
                          static_cast<uint32_t>(data.size()));
}

// The data of value `name`, or "!<code>".
std::string Get(RegistryService& r, KeyHandle key, std::string_view name,
                uint32_t* type = nullptr) {
  uint32_t size = 0;
  RegStatus status = r.RegQueryValueExA(key, name, type, nullptr, &size);
  if (status != kErrorSuccess) return "!" + std::to_string(status);
  std::string data(size, '\0');
  status = r.RegQueryValueExA(key, name, type, reinterpret_cast<uint8_t*>(data.data()), &size);
  if (status != kErrorSuccess) return "!" + std::to_string(status);
  data.resize(size);
  return data;
}

// Removes parent\subkey with everything below it, if it is there.
void DeleteTree(RegistryService& r, KeyHandle parent, const std::string& subkey) {
  KeyHandle key = kNoKey;
  if (r.RegOpenKeyA(parent, subkey, &key) != kErrorSuccess) return;
  r.RegCloseKey(key);
  EXPECT_TRUE(DeleteKeyTree(r, parent, subkey)) << subkey;
}

// The keys the running case made in a live registry, deleted when it ends.
std::vector<std::pair<KeyHandle, std::string>> liveKeys;

// The key a case works in, without what an earlier run of the case left in a live registry.
KeyHandle Fresh(RegistryService& r, const RegistryTraits& t, KeyHandle parent,
                const std::string& subkey) {
  if (t.liveRegistry) DeleteTree(r, parent, subkey);
  if (t.liveRegistry) liveKeys.emplace_back(parent, subkey);
  return Create(r, parent, subkey);
}

// `names` without those that are not in `made`, for listings of a live registry.
std::vector<std::string> OnlyMade(const RegistryTraits& t, std::vector<std::string> names,
                                  const std::vector<std::string>& made) {
  if (!t.liveRegistry) return names;
  std::erase_if(names, [&](const std::string& n) {
    return std::find(made.begin(), made.end(), n) == made.end();
  });
  return names;
}

std::vector<std::string> SubkeyNames(RegistryService& r, KeyHandle key) {
  std::vector<std::string> names;
  char name[512];
  for (uint32_t i = 0; r.RegEnumKeyA(key, i, name, sizeof name) == kErrorSuccess; ++i)
    names.push_back(name);
  return names;
}

std::vector<std::string> ValueNames(RegistryService& r, KeyHandle key) {
  std::vector<std::string> names;
  std::vector<char> name(16384);
  for (uint32_t index = 0;; ++index) {
    uint32_t nameSize = static_cast<uint32_t>(name.size());
    if (r.RegEnumValueA(key, index, name.data(), &nameSize, nullptr, nullptr, nullptr) !=
        kErrorSuccess)
      break;
    names.emplace_back(name.data(), nameSize);
  }
  return names;
}

void NewStoreHoldsTheInitialKeys(RegistryService& r, const RegistryTraits& t) {
  if (t.liveRegistry) GTEST_SKIP() << "a live registry holds the system's keys";
  EXPECT_EQ(DumpRegistry(r),
            "[HKEY_LOCAL_MACHINE]\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes]\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM]\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet]\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles]\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current]\n"
            "[HKEY_USERS]\n"
            "[HKEY_USERS\\.DEFAULT]\n");
}

void NamesIgnoreAsciiCaseAndKeepTheirFirstCase(RegistryService& r, const RegistryTraits& t) {
  KeyHandle key = Fresh(r, t, kHkeyLocalMachine, "Software\\MixedCase");
  KeyHandle again = Create(r, kHkeyLocalMachine, "SOFTWARE\\MIXEDCASE");
  EXPECT_EQ(OpenCode(r, kHkeyLocalMachine, "software\\mixedcase"), kErrorSuccess);
  ASSERT_EQ(Set(r, key, "Value", kRegBinary, "one"), kErrorSuccess);
  ASSERT_EQ(Set(r, again, "VALUE", kRegBinary, "two"), kErrorSuccess);
  EXPECT_EQ(Get(r, key, "value"), "two");
  EXPECT_EQ(ValueNames(r, key), std::vector<std::string>{"Value"});
  // Bytes above 127 are compared as they are: these are two keys.
  if (t.asciiKeyNamesOnly) {
    KeyHandle refused = kNoKey;
    EXPECT_EQ(r.RegCreateKeyA(key, "\xC4", &refused), kErrorNotSupported);
  } else if (!t.systemNameRules) {
    r.RegCloseKey(Create(r, key, "\xC4"));
    r.RegCloseKey(Create(r, key, "\xE4"));
    EXPECT_EQ(SubkeyNames(r, key).size(), 2u);
  }
  KeyHandle software = Create(r, kHkeyLocalMachine, "SOFTWARE");
  EXPECT_EQ(OnlyMade(t, SubkeyNames(r, software), {"Classes", "MixedCase"}),
            (std::vector<std::string>{"Classes", "MixedCase"}));
  for (KeyHandle handle : {key, again, software}) EXPECT_EQ(r.RegCloseKey(handle), 0);
}

void SubkeyPathsAndNamesHaveLimits(RegistryService& r, const RegistryTraits& t) {
  r.RegCloseKey(Fresh(r, t, kHkeyLocalMachine, "SOFTWARE\\A"));
  const std::string longest(255, 'k');
  if (t.liveRegistry) DeleteTree(r, kHkeyLocalMachine, "SOFTWARE\\" + longest);
  const struct Row { std::string subkey; RegStatus create; } rows[] = {
      {"SOFTWARE\\A\\B", kErrorSuccess},
      {"SOFTWARE\\" + longest, kErrorSuccess},
      {"SOFTWARE\\" + longest + "k", kErrorInvalidParameter},
      {"SOFTWARE\\\\A", kErrorInvalidParameter},
      {"SOFTWARE\\A\\", kErrorInvalidParameter},
      {"\\SOFTWARE", kErrorInvalidParameter},
      {"\\", kErrorInvalidParameter},
      {std::string("SOFTWARE\\A\0B", 12), kErrorInvalidParameter},
  };
  for (const Row& row : rows) {
    if (t.systemNameRules && row.subkey != "SOFTWARE\\A\\B") continue;
    KeyHandle key = kNoKey;
    EXPECT_EQ(r.RegCreateKeyA(kHkeyLocalMachine, row.subkey, &key), row.create) << row.subkey;
    if (key != kNoKey) r.RegCloseKey(key);
    if (row.create != kErrorSuccess) {
      EXPECT_EQ(OpenCode(r, kHkeyLocalMachine, row.subkey), row.create) << row.subkey;
    }
  }
  // The refused paths created nothing on the way.
  EXPECT_EQ(OpenCode(r, kHkeyLocalMachine, "SOFTWARE\\A\\B"), kErrorSuccess);
  KeyHandle software = Create(r, kHkeyLocalMachine, "SOFTWARE");
  const std::vector<std::string> made = {"A", "Classes", longest};
  EXPECT_EQ(OnlyMade(t, SubkeyNames(r, software), made).size(), 3u - t.systemNameRules);
  // An empty subkey names the key itself, with a handle of its own.
  KeyHandle itself = kNoKey;
  ASSERT_EQ(r.RegOpenKeyA(software, "", &itself), kErrorSuccess);
  EXPECT_EQ(OnlyMade(t, SubkeyNames(r, itself), made).size(), 3u - t.systemNameRules);
  r.RegCloseKey(itself);

  EXPECT_EQ(Set(r, software, std::string(16383, 'v'), kRegBinary, "x"), kErrorSuccess);
  EXPECT_EQ(Set(r, software, std::string(16384, 'v'), kRegBinary, "x"), kErrorInvalidParameter);
  EXPECT_EQ(Set(r, software, std::string("v\0", 2), kRegBinary, "x"), kErrorInvalidParameter);
  EXPECT_EQ(Get(r, software, std::string(16383, 'V')), "x");
  EXPECT_EQ(r.RegDeleteValueA(software, std::string(16383, 'v')), kErrorSuccess);
  r.RegCloseKey(software);
}

void SubkeysEnumerateByUpperCasedNameBytes(RegistryService& r, const RegistryTraits& t) {
  KeyHandle key = Fresh(r, t, kHkeyLocalMachine, "SOFTWARE\\Order");
  for (const char* name : {"b", "_x", "A1", "a", "B2", "\xC4", "Z", "1"}) {
    if (!t.asciiKeyNamesOnly || name[0] != '\xC4') r.RegCloseKey(Create(r, key, name));
  }
  std::vector<std::string> order =
      t.subkeysSortedLowerCased
          ? std::vector<std::string>{"1", "_x", "a", "A1", "b", "B2", "Z", "\xC4"}
          : std::vector<std::string>{"1", "a", "A1", "b", "B2", "Z", "_x", "\xC4"};
  if (t.asciiKeyNamesOnly) order.pop_back();
  EXPECT_EQ(SubkeyNames(r, key), order);
  // Enumeration by index agrees, whatever order the indexes come in.
  char name[16];
  EXPECT_EQ(r.RegEnumKeyA(key, 4, name, sizeof name), kErrorSuccess);
  EXPECT_EQ(name, order[4]);
  EXPECT_EQ(r.RegEnumKeyA(key, 1, name, sizeof name), kErrorSuccess);
  EXPECT_EQ(name, order[1]);
  EXPECT_EQ(r.RegEnumKeyA(key, 8, name, sizeof name), kErrorNoMoreItems);
  r.RegCloseKey(key);
}

void ValuesEnumerateInCreationOrder(RegistryService& r, const RegistryTraits& t) {
  KeyHandle key = Fresh(r, t, kHkeyLocalMachine, "SOFTWARE\\Values");
  for (const char* name : {"c", "a", "", "b"}) ASSERT_EQ(Set(r, key, name, kRegBinary, "1"), 0);
  ASSERT_EQ(Set(r, key, "A", kRegDword, "2222"), 0);  // replaced in place
  ASSERT_EQ(r.RegDeleteValueA(key, "c"), 0);
  ASSERT_EQ(Set(r, key, "C", kRegBinary, "3"), 0);  // re-created at the end, in its new case
  const std::vector<std::string> order = t.valuesSortedByName
                                            ? std::vector<std::string>{"", "a", "b", "C"}
                                            : std::vector<std::string>{"a", "", "b", "C"};
  EXPECT_EQ(ValueNames(r, key), order);
  uint32_t type = 0;
  EXPECT_EQ(Get(r, key, "a", &type), "2222");
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(r.RegDeleteValueA(key, "missing"), kErrorFileNotFound);
  EXPECT_EQ(Get(r, key, "missing"), "!2");
  r.RegCloseKey(key);
}

void ValueDataAndTypesRoundTrip(RegistryService& r, const RegistryTraits& t) {
  KeyHandle key = Fresh(r, t, kHkeyLocalMachine, "SOFTWARE\\Data");
  std::string big(16u << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + (i >> 12));
  struct Row {
    const char* name;
    uint32_t type;
    std::string data;
  };
  std::vector<Row> rows = {
      {"", kRegSz, std::string("default\0", 8)},
      {"empty", kRegBinary, ""},
      {"nuls", kRegMultiSz, std::string("a\0b\0\0", 5)},
      {"none", kRegNone, "\x01"},
      {"odd", 0xFFFFFFFFu, "\xFF\x00\x7F"},
      {"big", kRegBinary, big},
  };
  if (t.limitedValueData) {
    EXPECT_EQ(Set(r, key, "big", kRegBinary, big), kErrorNotSupported);
    rows.pop_back();
  }
  for (const Row& row : rows) ASSERT_EQ(Set(r, key, row.name, row.type, row.data), 0);
  for (const Row& row : rows) {
    uint32_t type = 12345;
    EXPECT_EQ(Get(r, key, row.name, &type) == row.data, true) << row.name;
    EXPECT_EQ(type, row.type) << row.name;
  }
  uint32_t maxSubkey = 99, maxName = 0, maxData = 0;
  ASSERT_EQ(r.RegQueryInfoKeyA(key, &maxSubkey, &maxName, &maxData), 0);
  EXPECT_EQ(maxSubkey, 0u);
  // "empty"; "big" ("default\0" where data is limited). The system's UTF-16 lengths count
  // as the UTF-8 they may become.
  EXPECT_EQ(maxName, t.systemNameRules ? 15u : 5u);
  EXPECT_EQ(maxData, t.limitedValueData   ? 8u
                     : t.systemNameRules ? big.size() * 3 / 2
                                         : big.size());
  EXPECT_EQ(r.RegQueryInfoKeyA(key, nullptr, nullptr, nullptr), 0);
  r.RegCloseKey(key);
}

void BuffersFollowWin32Rules(RegistryService& r, const RegistryTraits& t) {
  // Binary data: string types pass through the code page on a system registry.
  KeyHandle key = Fresh(r, t, kHkeyLocalMachine, "SOFTWARE\\Buffers");
  ASSERT_EQ(Set(r, key, "Name", kRegBinary, "abcdef"), 0);
  r.RegCloseKey(Create(r, key, "Child"));
  {  // RegQueryValueExA
    uint8_t data[8] = {};
    uint32_t type = 0, size = 3;
    EXPECT_EQ(r.RegQueryValueExA(key, "Name", &type, data, &size), kErrorMoreData);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(r.RegQueryValueExA(key, "Name", &type, data, &size), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), "abcdef");
    size = 0;
    EXPECT_EQ(r.RegQueryValueExA(key, "Name", nullptr, nullptr, &size), 0);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(r.RegQueryValueExA(key, "Name", &type, nullptr, nullptr), 0);
    EXPECT_EQ(type, kRegBinary);
  }
  {  // RegEnumKeyA: the name and its NUL must fit
    char name[8];
    EXPECT_EQ(r.RegEnumKeyA(key, 0, name, 5), kErrorMoreData);
    EXPECT_EQ(r.RegEnumKeyA(key, 0, name, 6), 0);
    EXPECT_STREQ(name, "Child");
    EXPECT_EQ(r.RegEnumKeyA(key, 1, name, 6), kErrorNoMoreItems);
  }
  {  // RegEnumValueA: the name and its NUL must fit, and the data
    char name[8];
    uint8_t data[8];
    uint32_t nameSize, dataSize, type = 0;
    auto enumValue = [&](uint32_t index, uint32_t nameRoom, uint32_t dataRoom) {
      nameSize = nameRoom, dataSize = dataRoom;
      return r.RegEnumValueA(key, index, name, &nameSize, &type, data, &dataSize);
    };
    EXPECT_EQ(enumValue(0, 4, sizeof data), kErrorMoreData);
    EXPECT_EQ(enumValue(0, 5, 2), kErrorMoreData);
    EXPECT_EQ(dataSize, 6u);
    EXPECT_EQ(enumValue(0, 5, 6), 0);
    EXPECT_EQ(std::string(name) + "/" + std::to_string(nameSize) + "/" + std::to_string(dataSize),
              "Name/4/6");
    EXPECT_EQ(type, kRegBinary);
    EXPECT_EQ(enumValue(1, 5, 6), kErrorNoMoreItems);
  }
  r.RegCloseKey(key);
}

void DeletedKeysAndTheirHandles(RegistryService& r, const RegistryTraits& t) {
  KeyHandle parent = Fresh(r, t, kHkeyLocalMachine, "SOFTWARE\\Doomed");
  KeyHandle child = Create(r, parent, "Child");
  KeyHandle second = kNoKey;
  ASSERT_EQ(r.RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE\\Doomed\\child", &second), 0);
  ASSERT_EQ(Set(r, child, "v", kRegSz, "x"), 0);

  EXPECT_EQ(r.RegDeleteKeyA(kHkeyLocalMachine, "SOFTWARE\\Doomed"), kErrorAccessDenied);
  EXPECT_EQ(r.RegDeleteKeyA(parent, "Missing"), kErrorFileNotFound);
  EXPECT_EQ(r.RegDeleteKeyA(kHkeyLocalMachine, "SOFTWARE\\Doomed\\CHILD"), 0);
  EXPECT_EQ(r.RegDeleteKeyA(parent, "Child"), kErrorFileNotFound);

  // Every handle to the deleted key now fails with 1018, and closes normally.
  for (KeyHandle gone : {child, second}) {
    EXPECT_EQ(Get(r, gone, "v"), "!1018");
    EXPECT_EQ(Set(r, gone, "v", kRegSz, "y"), kErrorKeyDeleted);
    EXPECT_EQ(r.RegDeleteValueA(gone, "v"), kErrorKeyDeleted);
    char name[8];
    EXPECT_EQ(r.RegEnumKeyA(gone, 0, name, sizeof name), kErrorKeyDeleted);
    KeyHandle below = kNoKey;
    EXPECT_EQ(r.RegCreateKeyA(gone, "Below", &below), kErrorKeyDeleted);
    EXPECT_EQ(r.RegQueryInfoKeyA(gone, nullptr, nullptr, nullptr), kErrorKeyDeleted);
    EXPECT_EQ(r.RegCloseKey(gone), 0);
    EXPECT_EQ(r.RegCloseKey(gone), kErrorInvalidHandle);
  }
  // A key of the same name created afterwards is a new key with no values.
  KeyHandle reborn = Create(r, parent, "Child");
  EXPECT_EQ(Get(r, reborn, "v"), "!2");
  r.RegCloseKey(reborn);
  EXPECT_EQ(r.RegDeleteKeyA(parent, "Child"), 0);
  EXPECT_EQ(r.RegDeleteKeyA(parent, ""), 0);  // a key handle's own key
  EXPECT_EQ(r.RegCloseKey(parent), 0);
  EXPECT_EQ(OpenCode(r, kHkeyLocalMachine, "SOFTWARE\\Doomed"), kErrorFileNotFound);
}

void HandlesAreCheckedAndIndependent(RegistryService& r, const RegistryTraits& t) {
  KeyHandle one = Fresh(r, t, kHkeyLocalMachine, "SOFTWARE\\Shared");
  KeyHandle two = Create(r, kHkeyLocalMachine, "SOFTWARE\\Shared");
  EXPECT_NE(one, two);
  EXPECT_EQ(r.RegCloseKey(one), 0);
  EXPECT_EQ(Set(r, two, "still", kRegSz, "open"), 0);
  EXPECT_EQ(Set(r, one, "closed", kRegSz, "x"), kErrorInvalidHandle);
  EXPECT_EQ(r.RegCloseKey(two), 0);
  EXPECT_EQ(r.RegCloseKey(kNoKey), kErrorInvalidHandle);
  EXPECT_EQ(r.RegCloseKey(0x12345678), kErrorInvalidHandle);
  KeyHandle key = kNoKey;
  EXPECT_EQ(r.RegOpenKeyA(0x12345678, "SOFTWARE", &key), kErrorInvalidHandle);
  EXPECT_EQ(key, kNoKey);
  // Closing a predefined root is harmless and it stays usable.
  EXPECT_EQ(r.RegCloseKey(kHkeyLocalMachine), 0);
  EXPECT_EQ(OpenCode(r, kHkeyLocalMachine, "SOFTWARE"), 0);
}

void ReadOnlyAccessRefusesWrites(RegistryService& r, const RegistryTraits& t) {
  r.RegCloseKey(Fresh(r, t, kHkeyLocalMachine, "SOFTWARE\\Access"));
  KeyHandle reader = kNoKey;
  ASSERT_EQ(r.RegOpenKeyExA(kHkeyLocalMachine, "SOFTWARE\\Access", 0, kKeyRead, &reader), 0);
  EXPECT_EQ(Set(r, reader, "v", kRegSz, "x"), kErrorAccessDenied);
  EXPECT_EQ(r.RegDeleteValueA(reader, "v"), kErrorAccessDenied);
  char name[8];
  EXPECT_EQ(r.RegEnumKeyA(reader, 0, name, sizeof name), kErrorNoMoreItems);
  r.RegCloseKey(reader);
  KeyHandle query = kNoKey;
  ASSERT_EQ(r.RegOpenKeyExA(kHkeyLocalMachine, "SOFTWARE\\Access", 0, kKeyQueryValue, &query),
            0);
  EXPECT_EQ(Get(r, query, "v"), "!2");
  EXPECT_EQ(r.RegEnumKeyA(query, 0, name, sizeof name), kErrorAccessDenied);
  r.RegCloseKey(query);
}

void RootsAndTheirViews(RegistryService& r, const RegistryTraits& t) {
  {  // HKEY_CLASSES_ROOT is HKLM\SOFTWARE\Classes
    KeyHandle viaView = Fresh(r, t, kHkeyClassesRoot, ".contract");
    ASSERT_EQ(Set(r, viaView, "", kRegBinary, "file"), 0);
    KeyHandle direct = kNoKey;
    ASSERT_EQ(r.RegOpenKeyA(kHkeyLocalMachine, "software\\classes\\.CONTRACT", &direct), 0);
    EXPECT_EQ(Get(r, direct, ""), "file");
    EXPECT_EQ(OnlyMade(t, SubkeyNames(r, kHkeyClassesRoot), {".contract"}),
              std::vector<std::string>{".contract"});
    r.RegCloseKey(direct);
    r.RegCloseKey(viaView);
  }
  {  // HKEY_CURRENT_CONFIG is HKLM\SYSTEM\CurrentControlSet\Hardware Profiles\Current
    KeyHandle direct = Create(r, kHkeyLocalMachine,
                              "SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\Display");
    ASSERT_EQ(Set(r, direct, "Depth", kRegDword, std::string_view("\x20\0\0\0", 4)), 0);
    KeyHandle viaView = kNoKey;
    ASSERT_EQ(r.RegOpenKeyA(kHkeyCurrentConfig, "Display", &viaView), 0);
    EXPECT_EQ(Get(r, viaView, "Depth"), std::string("\x20\0\0\0", 4));
    r.RegCloseKey(viaView);
    r.RegCloseKey(direct);
  }
  if (!t.liveRegistry) {  // HKEY_PERFORMANCE_DATA is empty and read-only
    KeyHandle key = kNoKey;
    EXPECT_EQ(r.RegOpenKeyA(kHkeyPerformanceData, "Anything", &key), kErrorFileNotFound);
    EXPECT_EQ(r.RegCreateKeyA(kHkeyPerformanceData, "Anything", &key), kErrorAccessDenied);
    EXPECT_EQ(key, kNoKey);
    EXPECT_EQ(Set(r, kHkeyPerformanceData, "v", kRegSz, "x"), kErrorAccessDenied);
    EXPECT_EQ(Get(r, kHkeyPerformanceData, "v"), "!2");
    EXPECT_TRUE(SubkeyNames(r, kHkeyPerformanceData).empty());
  }
  // A root itself is never deleted.
  for (KeyHandle root : {kHkeyLocalMachine, kHkeyUsers, kHkeyClassesRoot, kHkeyCurrentConfig})
    EXPECT_EQ(r.RegDeleteKeyA(root, ""), kErrorAccessDenied) << root;
  // Opening a root with an empty subkey gives a handle that reads like the root.
  KeyHandle machine = kNoKey;
  ASSERT_EQ(r.RegOpenKeyA(kHkeyLocalMachine, "", &machine), 0);
  if (!t.liveRegistry) {
    EXPECT_EQ(SubkeyNames(r, machine), (std::vector<std::string>{"SOFTWARE", "SYSTEM"}));
  }
  EXPECT_EQ(r.RegCloseKey(machine), 0);
}

void RemoteConnectionIsAnsweredWithACode(RegistryService& r, const RegistryTraits&) {
  KeyHandle remote = 77;
  RegStatus status = r.RegConnectRegistryA("\\\\NOSUCHMACHINE", kHkeyLocalMachine, &remote);
  if (status == kErrorSuccess)
    EXPECT_EQ(r.RegCloseKey(remote), 0);
  else
    EXPECT_EQ(remote, kNoKey);
}

using ContractCase = void (*)(RegistryService&, const RegistryTraits&);
struct NamedCase { const char* name; ContractCase run; };

#define CASE(name) {#name, name}
constexpr NamedCase kCases[] = {
    CASE(NewStoreHoldsTheInitialKeys), CASE(NamesIgnoreAsciiCaseAndKeepTheirFirstCase),
    CASE(SubkeyPathsAndNamesHaveLimits), CASE(SubkeysEnumerateByUpperCasedNameBytes),
    CASE(ValuesEnumerateInCreationOrder), CASE(ValueDataAndTypesRoundTrip),
    CASE(BuffersFollowWin32Rules), CASE(DeletedKeysAndTheirHandles),
    CASE(HandlesAreCheckedAndIndependent), CASE(ReadOnlyAccessRefusesWrites),
    CASE(RootsAndTheirViews), CASE(RemoteConnectionIsAnsweredWithACode),
};
#undef CASE

class ContractTest : public ::testing::Test {
 public:
  ContractTest(RegistryFactory factory, ContractCase run, const RegistryTraits& traits)
      : factory_(std::move(factory)), run_(run), traits_(traits) {}
  void TestBody() override {
    std::unique_ptr<RegistryService> registry = factory_();
    ASSERT_NE(registry, nullptr);
    run_(*registry, traits_);
    for (const auto& [parent, subkey] : liveKeys) DeleteTree(*registry, parent, subkey);
    liveKeys.clear();
  }

 private:
  RegistryFactory factory_;
  ContractCase run_;
  RegistryTraits traits_;
};

}  // namespace

void RegisterRegistryContractTests(const std::string& suite, RegistryFactory factory,
                                   const RegistryTraits& traits) {
  for (const NamedCase& entry : kCases) {
    ::testing::RegisterTest(suite.c_str(), entry.name, nullptr, nullptr, __FILE__, __LINE__,
                            [factory, entry, traits]() -> ::testing::Test* {
                              return new ContractTest(factory, entry.run, traits);
                            });
  }
}
