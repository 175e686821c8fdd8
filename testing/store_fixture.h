// Test support for the operations and the backout journal: a fresh store file, the run's
// shared records, key access and a backout file in a temporary folder, and a dump of the whole
// store as text that two equal stores give alike.
#ifndef DORVALEX_TESTING_STORE_FIXTURE_H_
#define DORVALEX_TESTING_STORE_FIXTURE_H_

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/run_settings.h"
#include "backout/backout_file.h"
#include "gtest/gtest.h"
#include "registry/backends/sqlite_registry.h"
#include "registry/key_path.h"
#include "script/script_state.h"
#include "testing/capture_output.h"

namespace dx_testing {

inline std::string HexBytes(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char c : bytes) {
    text.push_back(kDigits[c >> 4]);
    text.push_back(kDigits[c & 15]);
  }
  return text;
}

// One line per key ("[path]", in enumeration order) followed by its values sorted by name
// ("name"=type:hexbytes). Names keep their case, so a name restored in another case differs.
inline void DumpKey(RegistryService& registry, KeyHandle key, const std::string& path,
                    std::string* out) {
  out->append("[").append(path).append("]\n");
  uint32_t maxName = 0;
  uint32_t maxData = 0;
  uint32_t maxSubkey = 0;
  if (registry.RegQueryInfoKeyA(key, &maxSubkey, &maxName, &maxData) != kErrorSuccess) {
    out->append("!unreadable\n");
    return;
  }
  std::vector<std::string> values;
  std::vector<char> name(maxName + 1);
  std::vector<uint8_t> data(maxData + 1);
  for (uint32_t index = 0;; ++index) {
    uint32_t nameSize = static_cast<uint32_t>(name.size());
    uint32_t dataSize = static_cast<uint32_t>(data.size());
    uint32_t type = 0;
    RegStatus status =
        registry.RegEnumValueA(key, index, name.data(), &nameSize, &type, data.data(), &dataSize);
    if (status != kErrorSuccess) {
      if (status != kErrorNoMoreItems) out->append("!enum values failed\n");
      break;
    }
    values.push_back("\"" + std::string(name.data(), nameSize) + "\"=" + std::to_string(type) +
                     ":" + HexBytes({reinterpret_cast<char*>(data.data()), dataSize}));
  }
  std::sort(values.begin(), values.end());
  for (const std::string& value : values) out->append(value).push_back('\n');
  std::vector<char> child(maxSubkey + 1);
  for (uint32_t index = 0;; ++index) {
    RegStatus status =
        registry.RegEnumKeyA(key, index, child.data(), static_cast<uint32_t>(child.size()));
    if (status != kErrorSuccess) {
      if (status != kErrorNoMoreItems) out->append("!enum keys failed\n");
      break;
    }
    KeyHandle sub = kNoKey;
    std::string childName = child.data();
    if (registry.RegOpenKeyExA(key, childName, 0, kKeyRead, &sub) != kErrorSuccess) {
      out->append("!unopenable " + childName + "\n");
      continue;
    }
    DumpKey(registry, sub, path + "\\" + childName, out);
    registry.RegCloseKey(sub);
  }
}

// The two roots that hold the data; the others are views of keys below them.
inline std::string DumpStore(RegistryService& registry) {
  std::string out;
  DumpKey(registry, kHkeyLocalMachine, "HKEY_LOCAL_MACHINE", &out);
  DumpKey(registry, kHkeyUsers, "HKEY_USERS", &out);
  return out;
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteWholeFile(const std::string& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A temporary folder with a store file and a backout file path; removed afterwards.
class StoreFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/dx-store-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    dir_ = folder;
    registry_ = OpenSqliteRegistry(dir_ + "/registry.db");
    keys_ = std::make_unique<KeyAccess>(*registry_, state_);
    backoutPath_ = dir_ + "/undo.txt";
  }
  void TearDown() override {
    keys_.reset();
    registry_.reset();
    if (DIR* dir = opendir(dir_.c_str())) {
      while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") unlink((dir_ + "/" + name).c_str());
      }
      closedir(dir);
    }
    rmdir(dir_.c_str());
  }

  // Opens the backout file with its header line, as run control does.
  void OpenBackout(const std::string& path = "") {
    ASSERT_TRUE(backout_.Create(path.empty() ? backoutPath_ : path));
    settings_.backoutOpen = true;
    (void)backout_.Write("DORVALEX\n");
  }
  std::string BackoutText() { return ReadWholeFile(backoutPath_); }

  // Seeds a value, creating its key; `path` is below HKEY_LOCAL_MACHINE.
  void Seed(const std::string& path, std::string_view name, uint32_t type,
            std::string_view data) {
    KeyHandle key = kNoKey;
    ASSERT_EQ(registry_->RegCreateKeyA(kHkeyLocalMachine, path, &key), kErrorSuccess);
    ASSERT_EQ(registry_->RegSetValueExA(key, name, 0, type,
                                        reinterpret_cast<const uint8_t*>(data.data()),
                                        static_cast<uint32_t>(data.size())),
              kErrorSuccess);
    registry_->RegCloseKey(key);
  }
  void SeedKey(const std::string& path) {
    KeyHandle key = kNoKey;
    ASSERT_EQ(registry_->RegCreateKeyA(kHkeyLocalMachine, path, &key), kErrorSuccess);
    registry_->RegCloseKey(key);
  }
  bool KeyExists(const std::string& path) {
    KeyHandle key = kNoKey;
    if (registry_->RegOpenKeyA(kHkeyLocalMachine, path, &key) != kErrorSuccess) return false;
    registry_->RegCloseKey(key);
    return true;
  }
  std::string Dump() { return DumpStore(*registry_); }

  std::string dir_;
  std::string backoutPath_;
  CaptureOutput output_;
  RunSettings settings_;
  ScriptState state_;
  std::unique_ptr<RegistryService> registry_;
  std::unique_ptr<KeyAccess> keys_;
  BackoutFile backout_;
};

}  // namespace dx_testing

#endif  // DORVALEX_TESTING_STORE_FIXTURE_H_
