// Times /MACHINE: against local runs: a native script of 100,000 lines (1,000 keys of 99
// values) applied with a backout file
//   1. locally, by the built program;
//   2. to a second store through the local test transport (tests/remote_rsh.sh);
//   3. through ssh, when DX_SSH_RSH names the ssh command words for host 127.0.0.1 (run this
//      program under `tests/sshd_test.sh BUILD --run`, which starts a private sshd);
// and counts the round trips per line by applying the same script in this process through the
// remote backend, whose counters it reads. Also times the connection set-up alone.
// Usage: remote_bench [work folder] [keys] [values per key]. Run by hand, never by CTest.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ops/run_settings.h"
#include "backout/backout_file.h"
#include "ops/operations.h"
#include "registry/machine_registry.h"
#include "registry/remote/remote_registry.h"
#include "registry/sqlite/sqlite_registry.h"
#include "ops/key_path.h"
#include "script/script_reader.h"
#include "script/script_state.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs the program with `args` and extra environment; wall time, or a negative time on failure.
double RunProgram(const std::vector<std::string>& args,
                  const std::vector<std::pair<std::string, std::string>>& env) {
  fflush(nullptr);  // nothing buffered is written twice
  auto start = Clock::now();
  pid_t child = fork();
  if (child == 0) {
    if (freopen("/dev/null", "w", stdout) == nullptr) _exit(2);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  double seconds = SecondsSince(start);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

long WriteScript(const std::string& path, int keys, int values) {
  FILE* file = fopen(path.c_str(), "w");
  if (!file) return 0;
  long lines = 0;
  fputs("DORVALEX\n", file);
  for (int key = 0; key < keys; ++key) {
    fprintf(file, "UPDATE:[HKLM\\SOFTWARE\\RemoteBench\\Key%05d]\n", key);
    ++lines;
    for (int value = 0; value < values; ++value) {
      if (value % 3 == 0) {
        fprintf(file, "UPDATE:\"Count%d\"=Dword:%08x\n", value, key * values + value);
      } else {
        fprintf(file, "UPDATE:\"Name%d\"=\"value %d of key %d\"\n", value, value, key);
      }
      ++lines;
    }
  }
  fclose(file);
  return lines;
}

void Report(const char* what, long lines, double seconds) {
  if (seconds < 0) {
    printf("%-44s failed\n", what);
  } else {
    printf("%-44s %8.2f s  %10.0f lines/s\n", what, seconds, lines / seconds);
  }
  fflush(stdout);
}

// Applies the script in this process through the remote backend; round trips per line.
void CountRoundTrips(const std::string& script, const std::string& work, long lines,
                     const std::string& rsh, const std::string& agent) {
  auto remoteOwned = std::make_unique<RemoteRegistry>(rsh, agent);
  RemoteRegistry* remote = remoteOwned.get();
  std::unique_ptr<RegistryService> registry =
      OpenMachineRegistry(OpenSqliteRegistry(work + "/unused-local.db"), std::move(remoteOwned));
  RunSettings settings;
  settings.machineName = "\\\\BENCH";
  settings.backoutOpen = true;
  ScriptState state;
  KeyAccess keys(*registry, state);
  BackoutFile backout;
  if (!backout.Create(work + "/counted-undo.txt", true)) return;
  Operations operations(settings, state, keys, backout);
  auto start = Clock::now();
  bool ok = ReadScriptFile(script, state, operations);
  double seconds = SecondsSince(start);
  printf("in process, %s: %s, %.2f s, %.0f lines/s, %.3f round trips/line, %.3f requests/line, "
         "%.3f queries answered locally/line\n",
         rsh.c_str(), ok ? "ok" : "FAILED", seconds, lines / seconds,
         double(remote->stats().roundTrips) / lines, double(remote->stats().requests) / lines,
         double(remote->stats().localAnswers) / lines);
}

// Time from the first connect to its answer, averaged over fresh transports.
void TimeSetUp(const char* what, const std::string& rsh, const std::string& agent, int times) {
  double total = 0;
  for (int i = 0; i < times; ++i) {
    RemoteRegistry remote(rsh, agent);
    KeyHandle root = kNoKey;
    auto start = Clock::now();
    if (remote.RegConnectRegistryA("\\\\127.0.0.1", kHkeyLocalMachine, &root) != 0) {
      printf("%-44s connect failed\n", what);
      return;
    }
    total += SecondsSince(start);
  }
  printf("%-44s %8.2f ms per connection set-up\n", what, 1000 * total / times);
}

}  // namespace

int main(int argc, char** argv) {
  std::string work = argc > 1 ? argv[1] : "/tmp/dx-remote-bench";
  int keys = argc > 2 ? atoi(argv[2]) : 1000;
  int values = argc > 3 ? atoi(argv[3]) : 99;
  mkdir(work.c_str(), 0755);
  std::string tool = DX_DORVALEX_PATH;
  std::string agent = tool.substr(0, tool.rfind('/') + 1) + "dorvalex-agent";
  std::string rsh = std::string(DX_SOURCE_DIR) + "/tests/remote_rsh.sh";
  const char* sshWords = std::getenv("DX_SSH_RSH");
  std::string ssh = sshWords ? sshWords : "";

  std::string script = work + "/script.txt";
  long lines = WriteScript(script, keys, values);
  printf("script: %ld lines (%d keys of %d values)\n", lines, keys, values);

  auto fresh = [&](const std::string& name) {
    std::string path = work + "/" + name;
    unlink(path.c_str());
    return path;
  };
  std::vector<std::string> args = {tool, "/REG:" + script, "/BACKUP:" + work + "/undo.txt",
                                   "/OVERWRITE"};
  Report("local store", lines, RunProgram(args, {{"DORVALEX_REGISTRY", fresh("local.db")}}));

  std::vector<std::string> remoteArgs = args;
  remoteArgs.push_back("/MACHINE:\\\\127.0.0.1");
  Report("local test transport (agent over a pipe)", lines,
         RunProgram(remoteArgs, {{"DORVALEX_REGISTRY", fresh("unused.db")},
                                 {"DORVALEX_RSH", rsh},
                                 {"DORVALEX_AGENT", agent},
                                 {"DX_REMOTE_STORE", fresh("remote-rsh.db")}}));
  std::string sshAgent = "env DORVALEX_REGISTRY=" + work + "/remote-ssh.db " + agent;
  if (!ssh.empty()) {
    Report("sshd on loopback", lines,
           RunProgram(remoteArgs, {{"DORVALEX_REGISTRY", fresh("unused.db")},
                                   {"DORVALEX_RSH", ssh},
                                   {"DORVALEX_AGENT", sshAgent},
                                   {"DX_REMOTE_STORE", fresh("remote-ssh.db")}}));
  }

  setenv("DX_REMOTE_STORE", fresh("counted.db").c_str(), 1);
  CountRoundTrips(script, work, lines, rsh, agent);
  // Again over the store the first pass filled: every line now replaces an old value.
  CountRoundTrips(script, work, lines, rsh, agent);

  TimeSetUp("set-up, local test transport", rsh, agent, 20);
  if (!ssh.empty()) TimeSetUp("set-up, sshd on loopback", ssh, sshAgent, 10);
  return 0;
}
