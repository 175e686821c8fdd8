// Black-box test harness: child process, temporary folder, store seeding and dumping.
#include "tests/blackbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "registry/backends/sqlite_registry.h"

#ifndef DX_DEFAULT_BUILD_DIR
#define DX_DEFAULT_BUILD_DIR "build"
#endif

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct Root {
  const char* shortName;
  const char* longName;
  KeyHandle handle;
};

constexpr Root kRoots[] = {
    {"HKCR", "HKEY_CLASSES_ROOT", kHkeyClassesRoot},
    {"HKCU", "HKEY_CURRENT_USER", kHkeyCurrentUser},
    {"HKLM", "HKEY_LOCAL_MACHINE", kHkeyLocalMachine},
    {"HKU", "HKEY_USERS", kHkeyUsers},
    {"HKCC", "HKEY_CURRENT_CONFIG", kHkeyCurrentConfig},
};

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char x, char y) { return toupper(static_cast<unsigned char>(x)) ==
                                                toupper(static_cast<unsigned char>(y)); });
}

// Splits "HKLM\\A\\B" into the root's handle and "A\\B"; fails the test for an unknown root.
std::pair<KeyHandle, std::string> SplitKeyPath(std::string_view path) {
  size_t slash = path.find('\\');
  std::string_view root = path.substr(0, slash);
  std::string subkey = slash == std::string_view::npos ? "" : std::string(path.substr(slash + 1));
  for (const Root& r : kRoots) {
    if (SameIgnoringCase(root, r.shortName) || SameIgnoringCase(root, r.longName)) {
      return {r.handle, subkey};
    }
  }
  ADD_FAILURE() << "unknown root in key path " << path;
  return {kNoKey, subkey};
}

std::string RenderValue(uint32_t type, const std::string& data) {
  char buffer[16];
  if ((type == 1 || type == 2) && !data.empty() && data.back() == '\0' &&
      std::all_of(data.begin(), data.end() - 1,
                  [](char c) { return static_cast<unsigned char>(c) >= 0x20 && c != 0x7f; })) {
    return std::to_string(type) + ":\"" + data.substr(0, data.size() - 1) + "\"";
  }
  if (type == 4 && data.size() == 4) {
    uint32_t value;
    memcpy(&value, data.data(), 4);
    snprintf(buffer, sizeof buffer, "0x%08x", value);
    return "4:" + std::string(buffer);
  }
  std::string text = std::to_string(type) + ":hex(";
  for (size_t i = 0; i < data.size(); ++i) {
    snprintf(buffer, sizeof buffer, i ? ",%02x" : "%02x", static_cast<unsigned char>(data[i]));
    text += buffer;
  }
  return text + ")";
}

void DumpKey(RegistryService& store, KeyHandle key, const std::string& path, std::string& out) {
  out += "[" + path + "]\n";
  uint32_t maxSubkey = 0, maxName = 0, maxData = 0;
  RegStatus status = store.RegQueryInfoKeyA(key, &maxSubkey, &maxName, &maxData);
  if (status != 0) {
    ADD_FAILURE() << "RegQueryInfoKeyA(" << path << ") gave " << status;
    return;
  }
  std::vector<std::pair<std::string, std::string>> values;  // (sort key, line)
  std::vector<char> name(maxName + 2);
  std::vector<uint8_t> data(maxData + 1);
  for (uint32_t i = 0;; ++i) {
    uint32_t nameSize = static_cast<uint32_t>(name.size());
    uint32_t dataSize = static_cast<uint32_t>(data.size());
    uint32_t type = 0;
    status = store.RegEnumValueA(key, i, name.data(), &nameSize, &type, data.data(), &dataSize);
    if (status == 259) break;
    if (status != 0) {
      ADD_FAILURE() << "RegEnumValueA(" << path << ", " << i << ") gave " << status;
      break;
    }
    std::string valueName(name.data(), nameSize);
    std::string line = valueName.empty() ? "@" : "\"" + valueName + "\"";
    line += "=" + RenderValue(type, std::string(reinterpret_cast<char*>(data.data()), dataSize));
    std::string sortKey = valueName;
    for (char& c : sortKey) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    values.emplace_back(sortKey + '\0' + valueName, line + "\n");
  }
  std::sort(values.begin(), values.end());
  for (const auto& value : values) out += value.second;

  std::vector<char> subkey(maxSubkey + 2);
  for (uint32_t i = 0;; ++i) {
    status = store.RegEnumKeyA(key, i, subkey.data(), static_cast<uint32_t>(subkey.size()));
    if (status == 259) break;
    if (status != 0) {
      ADD_FAILURE() << "RegEnumKeyA(" << path << ", " << i << ") gave " << status;
      break;
    }
    std::string child(subkey.data());
    KeyHandle handle = kNoKey;
    status = store.RegOpenKeyA(key, child, &handle);
    if (status != 0) {
      ADD_FAILURE() << "RegOpenKeyA(" << path << "\\" << child << ") gave " << status;
      continue;
    }
    DumpKey(store, handle, path + "\\" + child, out);
    store.RegCloseKey(handle);
  }
}

// Reads both pipes of the child until they close or the deadline passes.
bool Drain(int outFd, int errFd, RunResult& result, int timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&result.output, &result.errors};
  int open = 2;
  char buffer[65536];
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, n);
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  return true;
}

}  // namespace

std::string DorvalexBinary() {
  const char* dir = getenv("DX_BUILD_DIR");
  return std::string(dir && *dir ? dir : DX_DEFAULT_BUILD_DIR) + "/dorvalex";
}

BlackBox::BlackBox() {
  std::string pattern = (fs::temp_directory_path() / "dorvalex-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << strerror(errno);
  }
  dir_ = pattern;
  storePath_ = dir_ + "/store/registry.db";
}

BlackBox::~BlackBox() {
  std::error_code error;
  // Tests may take rights away; give them back so that the folder can go.
  for (auto it = fs::recursive_directory_iterator(dir_, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_symlink()) fs::permissions(it->path(), fs::perms::owner_all,
                                           fs::perm_options::add, error);
  }
  fs::remove_all(dir_, error);
}

std::string BlackBox::PathOf(std::string_view name) const {
  if (!name.empty() && name.front() == '/') return std::string(name);
  return dir_ + "/" + std::string(name);
}

RunResult BlackBox::Run(const std::vector<std::string>& args, const EnvChanges& env,
                        int timeoutSeconds) const {
  RunResult result;
  std::string binary = DorvalexBinary();
  std::vector<std::string> argStore = {binary};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argStore) argv.push_back(arg.data());
  argv.push_back(nullptr);

  std::map<std::string, std::string> variables;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    size_t eq = entry.find('=');
    if (eq != std::string::npos) variables[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  variables["DORVALEX_REGISTRY"] = storePath_;
  for (const auto& [name, value] : env) {
    if (value) {
      variables[name] = *value;
    } else {
      variables.erase(name);
    }
  }
  std::vector<std::string> envStore;
  for (const auto& [name, value] : variables) envStore.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& entry : envStore) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDONLY);
    if (null < 0 || dup2(null, 0) < 0 || dup2(outPipe[1], 1) < 0 || dup2(errPipe[1], 2) < 0 ||
        chdir(dir_.c_str()) != 0) {
      _exit(125);
    }
    execve(binary.c_str(), argv.data(), envp.data());
    _exit(126);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << strerror(errno);
    close(outPipe[0]);
    close(errPipe[0]);
    return result;
  }
  if (!Drain(outPipe[0], errPipe[0], result, timeoutSeconds)) {
    ADD_FAILURE() << binary << " did not finish within " << timeoutSeconds << " s";
    kill(pid, SIGKILL);
  }
  close(outPipe[0]);
  close(errPipe[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
    if (result.exitCode == 126) ADD_FAILURE() << "cannot run " << binary;
  } else if (WIFSIGNALED(status)) {
    result.exitCode = 128 + WTERMSIG(status);
  }
  // A sanitizer ends the program with an ordinary-looking exit code; its report tells.
  for (const char* mark : {"Sanitizer", "runtime error:"}) {
    if (result.errors.find(mark) != std::string::npos) {
      ADD_FAILURE() << "sanitizer report from " << binary << ":\n" << result.errors;
      break;
    }
  }
  return result;
}

void BlackBox::WriteFile(std::string_view name, std::string_view content) const {
  std::ofstream file(PathOf(name), std::ios::binary | std::ios::trunc);
  file.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!file.flush()) ADD_FAILURE() << "cannot write " << PathOf(name);
}

std::optional<std::string> BlackBox::ReadFile(std::string_view name) const {
  std::ifstream file(PathOf(name), std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

bool BlackBox::FileExists(std::string_view name) const {
  std::error_code error;
  return fs::exists(fs::symlink_status(PathOf(name), error));
}

std::unique_ptr<RegistryService> BlackBox::OpenStore() const {
  return OpenSqliteRegistry(storePath_);
}

void BlackBox::CreateKey(std::string_view keyPath) const {
  SeedKey(keyPath, [](RegistryService&, KeyHandle) { return RegStatus(0); });
}

void BlackBox::SetValue(std::string_view keyPath, std::string_view name, uint32_t type,
                        std::string_view data) const {
  SeedKey(keyPath, [&](RegistryService& store, KeyHandle key) {
    RegStatus status = store.RegSetValueExA(key, name, 0, type,
                                            reinterpret_cast<const uint8_t*>(data.data()),
                                            static_cast<uint32_t>(data.size()));
    if (status != 0) ADD_FAILURE() << "RegSetValueExA(\"" << name << "\") gave " << status;
    return status;
  });
}

void BlackBox::SetString(std::string_view keyPath, std::string_view name,
                         std::string_view text) const {
  std::string data(text);
  data.push_back('\0');
  SetValue(keyPath, name, 1, data);
}

void BlackBox::SetDword(std::string_view keyPath, std::string_view name, uint32_t value) const {
  SetValue(keyPath, name, 4, std::string_view(reinterpret_cast<const char*>(&value), 4));
}

void BlackBox::SeedKey(std::string_view keyPath,
                       const std::function<RegStatus(RegistryService&, KeyHandle)>& fill) const {
  auto [root, subkey] = SplitKeyPath(keyPath);
  if (root == kNoKey) return;
  std::unique_ptr<RegistryService> store = OpenStore();
  KeyHandle key = kNoKey;
  RegStatus status = store->RegCreateKeyA(root, subkey, &key);
  if (status != 0) {
    ADD_FAILURE() << "RegCreateKeyA(" << keyPath << ") gave " << status;
    return;
  }
  fill(*store, key);
  store->RegCloseKey(key);
}

std::string BlackBox::DumpStore() const {
  std::unique_ptr<RegistryService> store = OpenStore();
  std::string out;
  for (const Root& root : kRoots) {
    KeyHandle key = kNoKey;
    RegStatus status = store->RegOpenKeyA(root.handle, "", &key);
    if (status != 0) {
      ADD_FAILURE() << "RegOpenKeyA(" << root.longName << ") gave " << status;
      continue;
    }
    DumpKey(*store, key, root.longName, out);
    store->RegCloseKey(key);
  }
  return out;
}
