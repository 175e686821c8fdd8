// The default location of the local store, chosen as the platform chooses its registry's.
#include "registry/sqlite/store_path.h"

#include <cstdlib>

#include "platform/platform.h"
#include "registry/sqlite/sqlite_registry.h"

namespace {

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

std::string DefaultStorePath() {
  std::string chosen = EnvironmentValue("DORVALEX_REGISTRY");
  if (!chosen.empty()) return chosen;
  if (platform::IsAdministrator()) return "/var/lib/dorvalex/registry.db";
  std::string data = EnvironmentValue("XDG_DATA_HOME");
  if (data.empty() || data[0] != '/') data = platform::HomeFolder() + "/.local/share";
  return data + "/dorvalex/registry.db";
}

bool CreateStoreFolder(const std::string& path) {
  size_t end = path.rfind('/');
  if (end == std::string::npos || end == 0) return true;
  // The store holds the whole registry: its folder is private, the system-wide one included.
  return platform::CreateFolders(path.substr(0, end), /*shared=*/false);
}

bool IsStoreFile(const std::string& path, const std::string& storePath) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal", ".lock"}) {
    if (platform::SameEntry(path, storePath + suffix)) return true;
  }
  return false;
}

std::string RunLockPath(const std::string& storePath) { return storePath + ".lock"; }
