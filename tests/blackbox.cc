// Black-box test harness: child process, temporary folder, store seeding and dumping.
#include "tests/blackbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#ifdef DX_HAVE_HIVE
#include "registry/hive/hive_store.h"
#endif
#include "registry/sqlite/sqlite_registry.h"
#include "ops/key_path.h"
#include "registry/win32_codes.h"
#include "testing/hive_files.h"
#include "testing/registry_dump.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// Everything the file holds, from its start; closes it.
std::string TakeAll(FILE* file) {
  std::string text;
  rewind(file);
  for (int c; (c = getc(file)) != EOF;) text.push_back(static_cast<char>(c));
  fclose(file);
  return text;
}

}  // namespace

std::string DorvalexBinary() {
  const char* dir = getenv("DX_BUILD_DIR");
  return std::string(dir && *dir ? dir : DX_DEFAULT_BUILD_DIR) + "/dorvalex";
}

BlackBox::BlackBox() {
  dir_ = (fs::temp_directory_path() / "dorvalex-test-XXXXXX").string();
  if (mkdtemp(dir_.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
  storePath_ = dir_ + "/store/registry.db";
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
}

std::string BlackBox::PathOf(std::string_view name) const {
  return !name.empty() && name.front() == '/' ? std::string(name) : dir_ + "/" + std::string(name);
}

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

void BlackBox::WriteFile(std::string_view name, std::string_view content) const {
  std::ofstream file(PathOf(name), std::ios::binary | std::ios::trunc);
  file.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!file.flush()) ADD_FAILURE() << "cannot write " << PathOf(name);
}

std::optional<std::string> BlackBox::ReadFile(std::string_view name) const {
  std::ifstream file(PathOf(name), std::ios::binary);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), {});
}

bool BlackBox::FileExists(std::string_view name) const {
  std::error_code error;
  return fs::exists(fs::symlink_status(PathOf(name), error));
}

std::unique_ptr<RegistryService> BlackBox::OpenStore() const {
#ifdef DX_HAVE_HIVE
  if (HiveStoreUnderTest()) return OpenHiveRegistry(storePath_);
#endif
  return OpenSqliteRegistry(storePath_);
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
  return DumpRegistry(*OpenStore(), ValueOrder::kByName);
}
