// Black-box test harness: child process, temporary folder, store seeding and dumping.
#include "tests/blackbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#ifdef _WIN32
#include <windows.h>

#include "registry/native/native_registry.h"
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "registry/sqlite/sqlite_registry.h"
extern char** environ;
#endif
#ifdef DX_HAVE_HIVE
#include "registry/hive/hive_store.h"
#endif
#include "ops/key_path.h"
#include "registry/win32_codes.h"
#include "testing/hive_files.h"
#include "testing/registry_dump.h"

namespace fs = std::filesystem;

namespace {

#ifndef _WIN32
// Everything the file holds, from its start; closes it.
std::string TakeAll(FILE* file) {
  std::string text;
  rewind(file);
  for (int c; (c = getc(file)) != EOF;) text.push_back(static_cast<char>(c));
  fclose(file);
  return text;
}
#else
// Text the program wrote, every line ended by CR LF, with LF alone; a line that is not fails
// the test.
std::string WithLfEnds(std::string text, std::string_view what) {
  size_t lf = 0, crLf = 0;
  for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; ++at, ++lf)
    crLf += at > 0 && text[at - 1] == '\r';
  if (crLf != lf) ADD_FAILURE() << what << ": " << lf - crLf << " lines end without CR LF";
  for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.erase(at, 1);
  return text;
}

// The keys below which boxes add theirs to the system's registry.
constexpr const char* kParents[] = {"HKEY_LOCAL_MACHINE\\SOFTWARE", "HKEY_USERS\\.DEFAULT",
                                    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes"};

// The keys below kParents that were not there when this process first looked.
std::vector<std::string> AddedKeys(KeyAccess& keys) {
  static std::set<std::string> systemKeys;
  static bool first = true;
  std::vector<std::string> added;
  for (const char* parent : kParents) {
    KeyHandle key = kNoKey;
    if (!keys.OpenKeyPath(parent, &key, true, std::nullopt) || key == kNoKey) continue;
    char name[1024];
    for (uint32_t i = 0; keys.registry().RegEnumKeyA(key, i, name, sizeof name) == 0; ++i) {
      const std::string path = std::string(parent) + "\\" + name;
      if (first) systemKeys.insert(path);
      if (!first && !systemKeys.count(path)) added.push_back(path);
    }
    keys.ReleaseKeyPath(key);
  }
  first = false;
  return added;
}

// Deletes what earlier boxes added.
void DeleteAddedKeys() {
  std::unique_ptr<RegistryService> registry = OpenNativeRegistry();
  ScriptState state;
  KeyAccess keys(*registry, state);
  for (const std::string& path : AddedKeys(keys))
    EXPECT_TRUE(keys.DeleteKeyPath(path, std::nullopt)) << path;
}
#endif

}  // namespace

std::string DorvalexBinary() {
  const char* dir = getenv("DX_BUILD_DIR");
  return std::string(dir && *dir ? dir : DX_DEFAULT_BUILD_DIR) +
         (kWindowsBuild ? "/dorvalex.exe" : "/dorvalex");
}

BlackBox::BlackBox() {
#ifdef _WIN32
  static int boxes = 0;
  dir_ = (fs::temp_directory_path() / ("dorvalex-test-" + std::to_string(GetCurrentProcessId()) +
                                       "-" + std::to_string(++boxes))).string();
  std::error_code error;
  if (!fs::create_directory(dir_, error)) ADD_FAILURE() << "cannot create " << dir_;
  DeleteAddedKeys();
#else
  dir_ = (fs::temp_directory_path() / "dorvalex-test-XXXXXX").string();
  if (mkdtemp(dir_.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
  storePath_ = dir_ + "/store/registry.db";
#endif
#ifdef DX_HAVE_HIVE
  if (HiveStoreUnderTest()) {
    // A Windows folder of minimal hives: the same cases run against hive files.
    storePath_ = dir_ + "/image";
    if (!fs::create_directory(storePath_) || !dx_testing::BuildWindowsFolder(storePath_))
      ADD_FAILURE() << "cannot build a Windows folder in " << storePath_;
  }
#endif
}

bool HiveStoreUnderTest() {
#ifdef DX_HAVE_HIVE
  const char* store = getenv("DX_BLACKBOX_STORE");
  return store && std::string_view(store) == "hive";
#else
  return false;
#endif
}

BlackBox::~BlackBox() {
  std::error_code error;
  fs::remove_all(dir_, error);
#ifdef _WIN32
  DeleteAddedKeys();
#endif
}

std::string BlackBox::PathOf(std::string_view name) const {
  return !name.empty() && name.front() == '/' ? std::string(name) : dir_ + "/" + std::string(name);
}

#ifdef _WIN32
// Arguments hold no quotes. Standard error joins standard output, in a file deleted once closed.
RunResult BlackBox::Run(const std::vector<std::string>& args, const EnvChanges& env,
                        int timeoutSeconds, const std::function<bool()>& killWhen) const {
  RunResult result;
  std::string binary = DorvalexBinary(), line = "\"" + binary + "\"";
  for (const std::string& arg : args) line += " \"" + arg + "\"";
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  HANDLE out = CreateFileA((dir_ + ".out").c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inherited,
                           CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = out;
  PROCESS_INFORMATION process{};
  EXPECT_TRUE(env.empty() && !killWhen &&
              CreateProcessA(binary.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             dir_.c_str(), &startup, &process)) << binary << GetLastError();
  if (WaitForSingleObject(process.hProcess, timeoutSeconds * 1000) == WAIT_TIMEOUT) {
    ADD_FAILURE() << binary << " did not finish within " << timeoutSeconds << " s";
    TerminateProcess(process.hProcess, 137);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  DWORD code = 0, got = 0;
  if (GetExitCodeProcess(process.hProcess, &code)) result.exitCode = static_cast<int>(code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  char buffer[65536];
  SetFilePointer(out, 0, nullptr, FILE_BEGIN);
  while (::ReadFile(out, buffer, sizeof buffer, &got, nullptr) && got > 0)
    result.output.append(buffer, got);
  CloseHandle(out);
  result.output = WithLfEnds(result.output, "output");
  // The banner's second line names the system: a version of Windows NT.
  const std::string line1 = kBanner.substr(0, kBanner.find('\n') + 1);
  if (size_t at = result.output.find(line1); at != std::string::npos) {
    const size_t start = at + line1.size(), end = result.output.find('\n', start);
    const std::string system = result.output.substr(start, end - start);
    EXPECT_TRUE(system.starts_with("         Running on Windows NT ") && system.ends_with(")"))
        << system;
    result.output.replace(start, end - start,
                          kBanner.substr(line1.size(), kBanner.size() - line1.size() - 2));
  }
  return result;
}
#else
RunResult BlackBox::Run(const std::vector<std::string>& args, const EnvChanges& env,
                        int timeoutSeconds, const std::function<bool()>& killWhen) const {
  RunResult result;
  std::string binary = DorvalexBinary();
  std::vector<std::string> argStore = {binary};
  argStore.insert(argStore.end(), args.begin(), args.end());
  EnvChanges variables = env;
  variables.emplace("DORVALEX_REGISTRY", storePath_);
  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e)
    if (!variables.count(std::string(*e, strcspn(*e, "=")))) envStore.push_back(*e);
  for (const auto& [name, value] : variables)
    if (value) envStore.push_back(name + "=" + *value);
  // Everything the child needs is built before the fork: another thread may hold the heap.
  std::vector<char*> argv, envp;
  for (std::string& arg : argStore) argv.push_back(arg.data());
  for (std::string& entry : envStore) envp.push_back(entry.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  FILE* out = tmpfile();  // files rather than pipes: the child can never block on them
  FILE* errors = tmpfile();
  if (out == nullptr || errors == nullptr) {
    ADD_FAILURE() << "tmpfile: " << strerror(errno);
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDONLY);
    if (null < 0 || dup2(null, 0) < 0 || dup2(fileno(out), 1) < 0 || dup2(fileno(errors), 2) < 0 ||
        chdir(dir_.c_str()) != 0) {
      _exit(125);
    }
    execve(binary.c_str(), argv.data(), envp.data());
    _exit(126);
  }
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  while (pid > 0 && waitpid(pid, &status, WNOHANG) == 0) {
    bool late = std::chrono::steady_clock::now() > deadline;
    if (late || (killWhen && killWhen())) {
      if (late) ADD_FAILURE() << binary << " did not finish within " << timeoutSeconds << " s";
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(killWhen ? 100 : 1000));
  }
  if (pid < 0) ADD_FAILURE() << "fork: " << strerror(errno);
  if (pid > 0) result.exitCode = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  result.output = TakeAll(out);
  result.errors = TakeAll(errors);
  // A sanitizer ends the program with an ordinary-looking exit code; its report tells.
  if (result.errors.find("Sanitizer") != std::string::npos ||
      result.errors.find("runtime error:") != std::string::npos) {
    ADD_FAILURE() << "sanitizer report from " << binary << ":\n" << result.errors;
  }
  return result;
}
#endif

void BlackBox::WriteFile(std::string_view name, std::string_view content) const {
  std::ofstream file(PathOf(name), std::ios::binary | std::ios::trunc);
  file.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!file.flush()) ADD_FAILURE() << "cannot write " << PathOf(name);
  written_[PathOf(name)] = content;
}

std::optional<std::string> BlackBox::ReadFile(std::string_view name) const {
  std::ifstream file(PathOf(name), std::ios::binary);
  if (!file) return std::nullopt;
  std::string text(std::istreambuf_iterator<char>(file), {});
#ifdef _WIN32
  auto mine = written_.find(PathOf(name));  // a file the program wrote is text in CR LF
  if (mine == written_.end() || mine->second != text) return WithLfEnds(text, name);
#endif
  return text;
}

bool BlackBox::FileExists(std::string_view name) const {
  std::error_code error;
  return fs::exists(fs::symlink_status(PathOf(name), error));
}

std::unique_ptr<RegistryService> BlackBox::OpenStore() const {
#ifdef _WIN32
  return OpenNativeRegistry();
#else
#ifdef DX_HAVE_HIVE
  if (HiveStoreUnderTest()) return OpenHiveRegistry(storePath_);
#endif
  return OpenSqliteRegistry(storePath_);
#endif
}

void BlackBox::SetValue(std::string_view keyPath, std::string_view name, uint32_t type,
                        std::string_view data) const {
  std::unique_ptr<RegistryService> store = OpenStore();
  ScriptState state;
  KeyAccess keys(*store, state);
  KeyHandle key = kNoKey;
  if (!keys.OpenKeyPath(keyPath, &key, false, std::nullopt)) {
    ADD_FAILURE() << "cannot create " << keyPath;
    return;
  }
  RegStatus status =
      store->RegSetValueExA(key, name, 0, type, reinterpret_cast<const uint8_t*>(data.data()),
                            static_cast<uint32_t>(data.size()));
  if (status != 0) ADD_FAILURE() << "RegSetValueExA(\"" << name << "\") gave " << status;
  keys.ReleaseKeyPath(key);
}

std::string BlackBox::DumpStore() const {
#ifdef _WIN32
  std::unique_ptr<RegistryService> registry = OpenNativeRegistry();
  ScriptState state;
  KeyAccess keys(*registry, state);
  std::string dump;
  for (const std::string& path : AddedKeys(keys)) {
    KeyHandle key = kNoKey;
    if (keys.OpenKeyPath(path, &key, true, std::nullopt) && key != kNoKey)
      dump += DumpRegistryKey(*registry, key, "", path, ValueOrder::kByName);
    keys.ReleaseKeyPath(key);
  }
  return dump;
#else
  return DumpRegistry(*OpenStore(), ValueOrder::kByName);
#endif
}
