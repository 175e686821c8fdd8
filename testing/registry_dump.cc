// The registry dump used by tests to compare whole stores.
#include "testing/registry_dump.h"

#include <algorithm>
#include <vector>

namespace {

void AppendHexByte(std::string* out, unsigned char byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out->push_back(kDigits[byte >> 4]);
  out->push_back(kDigits[byte & 15]);
}

void DumpOpenKey(RegistryService& registry, KeyHandle key, const std::string& path,
                 ValueOrder order, std::string* out) {
  out->append("[").append(path).append("]\n");
  uint32_t maxSubkey = 0, maxName = 0, maxData = 0;
  RegStatus status = registry.RegQueryInfoKeyA(key, &maxSubkey, &maxName, &maxData);
  if (status != kErrorSuccess) {
    out->append("  !info " + std::to_string(status) + "\n");
    return;
  }
  std::vector<char> name(maxName + 1);
  std::vector<uint8_t> data(maxData + 1);
  std::vector<std::string> values;
  for (uint32_t index = 0;; ++index) {
    uint32_t nameSize = static_cast<uint32_t>(name.size());
    uint32_t dataSize = static_cast<uint32_t>(data.size());
    uint32_t type = 0;
    status = registry.RegEnumValueA(key, index, name.data(), &nameSize, &type, data.data(),
                                    &dataSize);
    if (status != kErrorSuccess) {
      if (status != kErrorNoMoreItems) values.push_back("  !values " + std::to_string(status));
      break;
    }
    values.push_back("  \"" + std::string(name.data(), nameSize) + "\"=" +
                     DumpValueData(type, {reinterpret_cast<const char*>(data.data()), dataSize}));
  }
  if (order == ValueOrder::kByName) std::sort(values.begin(), values.end());
  for (const std::string& value : values) out->append(value).push_back('\n');
  std::vector<char> child(maxSubkey + 1);
  for (uint32_t index = 0;; ++index) {
    status = registry.RegEnumKeyA(key, index, child.data(), static_cast<uint32_t>(child.size()));
    if (status != kErrorSuccess) {
      if (status != kErrorNoMoreItems) out->append("  !keys " + std::to_string(status) + "\n");
      break;
    }
    std::string childName = child.data();
    std::string childPath = path + "\\" + childName;
    KeyHandle sub = kNoKey;
    status = registry.RegOpenKeyExA(key, childName, 0, kKeyRead, &sub);
    if (status != kErrorSuccess) {
      out->append("[" + childPath + "]\n  !open " + std::to_string(status) + "\n");
      continue;
    }
    DumpOpenKey(registry, sub, childPath, order, out);
    registry.RegCloseKey(sub);
  }
}

}  // namespace

std::string DumpValueData(uint32_t type, std::string_view data) {
  std::string out = std::to_string(type) + ":";
  if (type == 1 || type == 2 || type == 7) {
    out.push_back('"');
    for (char c : data) {
      unsigned char byte = static_cast<unsigned char>(c);
      if (c == '\\' || c == '"') {
        out.push_back('\\');
        out.push_back(c);
      } else if (byte == 0) {
        out.append("\\0");
      } else if (byte < 0x20 || byte >= 0x7F) {
        out.append("\\x");
        AppendHexByte(&out, byte);
      } else {
        out.push_back(c);
      }
    }
    out.push_back('"');
  } else {
    for (char c : data) AppendHexByte(&out, static_cast<unsigned char>(c));
  }
  return out;
}

std::string DumpRegistryKey(RegistryService& registry, KeyHandle root, std::string_view subkey,
                            std::string_view label, ValueOrder order) {
  KeyHandle key = kNoKey;
  RegStatus status = registry.RegOpenKeyExA(root, subkey, 0, kKeyRead, &key);
  if (status != kErrorSuccess) return "!open " + std::to_string(status) + "\n";
  std::string out;
  DumpOpenKey(registry, key, std::string(label), order, &out);
  registry.RegCloseKey(key);
  return out;
}

std::string DumpRegistry(RegistryService& registry, ValueOrder order) {
  return DumpRegistryKey(registry, kHkeyLocalMachine, "", "HKEY_LOCAL_MACHINE", order) +
         DumpRegistryKey(registry, kHkeyUsers, "", "HKEY_USERS", order);
}
