// The leaf-first walk that deletes a key tree, and its messages.
#include "registry/delete_tree.h"

#include <string>
#include <vector>

#include "report/report.h"

namespace {

constexpr uint32_t kChildNameSize = 512;
// A backend with longer names than its enumeration buffer gets room up to this size.
constexpr uint32_t kLargestChildNameSize = 1 << 16;

}  // namespace

bool DeleteKeyTree(RegistryService& registry, KeyHandle parent, std::string_view name) {
  KeyHandle key = kNoKey;
  RegStatus code = registry.RegOpenKeyExA(parent, name, 0, kKeyRead, &key);
  if (code != kErrorSuccess) {
    ReportSystemError(code, "Could not Open Enumerated Key During delete operation");
    return false;
  }
  std::vector<char> child(kChildNameSize);
  while (true) {
    // Always index 0: every child deleted leaves the next one at the front.
    code = registry.RegEnumKeyA(key, 0, child.data(), static_cast<uint32_t>(child.size()));
    if (code == kErrorMoreData && child.size() < kLargestChildNameSize) {
      child.resize(child.size() * 2);
      continue;
    }
    if (code != kErrorSuccess) break;
    if (!DeleteKeyTree(registry, key, std::string_view(child.data()))) {
      registry.RegCloseKey(key);
      return false;
    }
  }
  registry.RegCloseKey(key);
  if (code != kErrorNoMoreItems) {
    ReportSystemError(code, "Could not enumerate subkeys during delete operation");
    return false;
  }
  code = registry.RegDeleteKeyA(parent, name);
  if (code != kErrorSuccess) {
    ReportSystemErrorF(code, "Could not delete Subkey - \"%s\"", std::string(name).c_str());
    return false;
  }
  return true;
}
