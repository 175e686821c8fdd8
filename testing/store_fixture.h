// Test support for the operations and the backout journal: a fresh store file, the run's
// shared records, key access and a backout file in a temporary folder.
#ifndef DORVALEX_TESTING_STORE_FIXTURE_H_
#define DORVALEX_TESTING_STORE_FIXTURE_H_

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ops/run_settings.h"
#include "backout/backout_file.h"
#include "gtest/gtest.h"
#include "registry/sqlite/sqlite_registry.h"
#include "ops/key_path.h"
#include "script/script_state.h"
#include "testing/capture_output.h"
#include "testing/registry_dump.h"

namespace dx_testing {

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
    ASSERT_TRUE(backout_.Create(path.empty() ? backoutPath_ : path, true));
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
  std::string Dump() { return DumpRegistry(*registry_, ValueOrder::kByName); }

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
