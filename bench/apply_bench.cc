// Times the main job of the tool on large inputs, each step as a run of the built program (or,
// for the reversal alone, a child process), and reports lines per second and peak memory:
//   1. a REGEDIT4 script of 1,000,000 lines (10,000 keys) applied to an empty store with a
//      backout file and its reversal;
//   2. the same script again over the now-full store (every record an UPDATE of an old value);
//   3. the reversal alone of the backout file of step 2;
//   4. DELETE of a key holding 100,000 values in 1,000 subkeys, with its snapshot.
// Usage: apply_bench [work folder] [keys] [values per key]. Run by hand, never by CTest.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/run_settings.h"
#include "backout/reversal.h"
#include "registry/backends/sqlite_registry.h"
#include "script/script_state.h"

namespace {

struct Measure {
  double seconds = 0;
  long peakKilobytes = 0;
  int exitCode = -1;
};

// Runs `body` in a child process; its wall time, peak resident memory and exit code.
template <typename Body>
Measure InChild(Body body) {
  auto start = std::chrono::steady_clock::now();
  pid_t child = fork();
  if (child == 0) _exit(body());
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  Measure measure;
  measure.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  measure.peakKilobytes = usage.ru_maxrss;
  measure.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return measure;
}

Measure RunProgram(const std::string& program, const std::string& store,
                   const std::vector<std::string>& args) {
  return InChild([&] {
    if (freopen("/dev/null", "w", stdout) == nullptr) return 2;
    setenv("DORVALEX_REGISTRY", store.c_str(), 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    return 127;
  });
}

void Report(const char* what, long lines, const Measure& measure) {
  printf("%-58s %8.2f s  %10.0f lines/s  peak %7.1f MiB  exit %d\n", what, measure.seconds,
         lines / measure.seconds, measure.peakKilobytes / 1024.0, measure.exitCode);
  fflush(stdout);
}

// One key line and `values` value lines per key, the data cycling through the common forms.
long WriteScript(const std::string& path, int keys, int values) {
  FILE* file = fopen(path.c_str(), "w");
  if (file == nullptr) return 0;
  long lines = 0;
  fputs("REGEDIT4\n\n", file);
  for (int key = 0; key < keys; ++key) {
    fprintf(file, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench\\Group%03d\\Key%05d]\n", key % 100, key);
    ++lines;
    for (int value = 0; value < values; ++value) {
      switch (value % 4) {
        case 0:
          fprintf(file, "\"Name%02d\"=\"C:\\\\Program Files\\\\Bench\\\\%d\\\\file%d.dll\"\n",
                  value, key, value);
          break;
        case 1:
          fprintf(file, "\"Count%02d\"=dword:%08x\n", value, key * 100 + value);
          break;
        case 2:
          fprintf(file, "\"Data%02d\"=hex:%02x,00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e\n",
                  value, value);
          break;
        default:
          fprintf(file, "@=\"default of key %d\"\n", key);
      }
      ++lines;
    }
  }
  fclose(file);
  return lines;
}

bool SeedDeleteTree(const std::string& store, int subkeys, int values) {
  std::unique_ptr<RegistryService> registry = OpenSqliteRegistry(store);
  KeyHandle top = kNoKey;
  if (registry->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Doomed", &top) != 0) return false;
  std::string data = "a value of the doomed tree";
  data.push_back('\0');
  for (int sub = 0; sub < subkeys; ++sub) {
    KeyHandle key = kNoKey;
    if (registry->RegCreateKeyA(top, "Sub" + std::to_string(sub), &key) != 0) return false;
    for (int value = 0; value < values; ++value) {
      registry->RegSetValueExA(key, "Value" + std::to_string(value), 0, 1,
                               reinterpret_cast<const uint8_t*>(data.data()),
                               static_cast<uint32_t>(data.size()));
    }
    registry->RegCloseKey(key);
  }
  registry->RegCloseKey(top);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : "/tmp/dx-apply-bench";
  int keys = argc > 2 ? atoi(argv[2]) : 10000;
  int values = argc > 3 ? atoi(argv[3]) : 99;
  std::string program = DX_DORVALEX_PATH;
  mkdir(dir.c_str(), 0755);
  for (const char* name : {"/store.db", "/delete.db", "/undo1.txt", "/undo2.txt", "/undo3.txt"}) {
    unlink((dir + name).c_str());
  }

  std::string script = dir + "/big.reg";
  long lines = WriteScript(script, keys, values);
  printf("script: %ld lines, %d keys\n", lines, keys);
  fflush(stdout);

  std::string store = dir + "/store.db";
  Report("apply to an empty store, /BACKUP: and reversal", lines,
         RunProgram(program, store, {"/REG:" + script, "/BACKUP:" + dir + "/undo1.txt"}));
  Report("same script over the full store, /BACKUP: /NOREVERSE", lines,
         RunProgram(program, store,
                    {"/REG:" + script, "/BACKUP:" + dir + "/undo2.txt", "/NOREVERSE"}));
  Report("reversal alone of that backout file", lines, InChild([&] {
           RunSettings settings;
           ScriptState state;
           return ReverseBackout(dir + "/undo2.txt", settings, state) ? 0 : 1;
         }));

  std::string doomed = dir + "/delete.db";
  if (!SeedDeleteTree(doomed, 1000, 100)) {
    fprintf(stderr, "could not seed the delete store\n");
    return 1;
  }
  std::string deleteScript = dir + "/delete.txt";
  if (FILE* file = fopen(deleteScript.c_str(), "w")) {
    fputs("DORVALEX\nDELETE:[HKLM\\SOFTWARE\\Doomed]\n", file);
    fclose(file);
  }
  Report("DELETE of 1,000 subkeys / 100,000 values with snapshot", 100000,
         RunProgram(program, doomed, {"/REG:" + deleteScript, "/BACKUP:" + dir + "/undo3.txt"}));
  return 0;
}
