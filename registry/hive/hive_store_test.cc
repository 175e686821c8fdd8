// The hive store under the registry contract: a Windows folder holding SOFTWARE (with its
// Classes key), SYSTEM (whose CurrentControlSet, with no Select key, is an ordinary key) and
// DEFAULT, as a new store holds them.
#include "registry/hive/hive_store.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "gtest/gtest.h"
#include "registry/hive/hive_file.h"
#include "testing/hive_files.h"
#include "testing/registry_contract.h"

namespace {

// The folders of this test binary, removed when it ends.
std::string TestFolder() {
  static const std::string folder = [] {
    char name[] = "/tmp/dx-hive-store-XXXXXX";
    std::string made = mkdtemp(name) ? name : "/tmp";
    static const std::string removal = "rm -rf '" + made + "'";
    std::atexit([] { [[maybe_unused]] int ignored = std::system(removal.c_str()); });
    return made;
  }();
  return folder;
}

// Writes an empty hive at `path` holding the key path `keys` (levels separated by "\").
bool HiveWithKeys(const std::string& path, const std::string& keys) {
  if (!dx_testing::WriteEmptyHive(path)) return false;
  std::unique_ptr<HiveFile> hive;
  if (HiveFile::Open(path, &hive) != kErrorSuccess) return false;
  HiveFile::Node node = HiveFile::kRoot;
  for (size_t start = 0; start < keys.size();) {
    size_t end = std::min(keys.find('\\', start), keys.size());
    if (hive->CreateChild(node, keys.substr(start, end - start), &node)) return false;
    start = end + 1;
  }
  return hive->Save() == kErrorSuccess;
}

std::unique_ptr<RegistryService> NewImage() {
  static int count = 0;
  const std::string root = TestFolder() + "/image" + std::to_string(++count);
  const std::string config = root + "/Windows/System32/config";
  EXPECT_EQ(std::system(("mkdir -p '" + config + "'").c_str()), 0);
  EXPECT_TRUE(HiveWithKeys(config + "/SOFTWARE", "Classes"));
  EXPECT_TRUE(HiveWithKeys(config + "/SYSTEM", "CurrentControlSet\\Hardware Profiles\\Current"));
  EXPECT_TRUE(HiveWithKeys(config + "/DEFAULT", ""));
  return OpenHiveRegistry(root);
}

const bool kRegistered = [] {
  RegistryTraits traits;
  traits.asciiKeyNamesOnly = true;
  traits.limitedValueData = true;
  RegisterRegistryContractTests("HiveRegistry", NewImage, traits);
  return true;
}();

}  // namespace
