// The default location of the local store, chosen as the platform chooses its registry's.
#include "registry/sqlite/store_path.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "registry/sqlite/sqlite_registry.h"

namespace {

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string HomeFolder() {
  std::string home = EnvironmentValue("HOME");
  if (!home.empty()) return home;
  const passwd* entry = getpwuid(getuid());
  return entry && entry->pw_dir ? entry->pw_dir : "/";
}

}  // namespace

std::string DefaultStorePath() {
  std::string chosen = EnvironmentValue("DORVALEX_REGISTRY");
  if (!chosen.empty()) return chosen;
  if (geteuid() == 0) return "/var/lib/dorvalex/registry.db";
  std::string data = EnvironmentValue("XDG_DATA_HOME");
  if (data.empty() || data[0] != '/') data = HomeFolder() + "/.local/share";
  return data + "/dorvalex/registry.db";
}

int StoreWaitMilliseconds() {
  constexpr int kDefaultMs = 60000;
  std::string text = EnvironmentValue("DORVALEX_STORE_WAIT");
  if (text.empty()) return kDefaultMs;
  char* end = nullptr;
  double seconds = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !(seconds >= 0) || seconds > 86400) return kDefaultMs;
  return static_cast<int>(seconds * 1000);
}

bool CreateStoreFolder(const std::string& path) {
  size_t end = path.rfind('/');
  if (end == std::string::npos || end == 0) return true;
  const mode_t mode = geteuid() == 0 ? 0755 : 0700;
  std::string folder = path.substr(0, end);
  struct stat info;
  if (stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    std::string prefix = folder.substr(0, slash);
    if (mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}
