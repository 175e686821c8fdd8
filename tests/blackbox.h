// Black-box test harness: runs the built `dorvalex` binary (from $DX_BUILD_DIR, else the build
// folder this harness was compiled for) in a fresh temporary folder, with standard input from
// /dev/null and DORVALEX_REGISTRY naming a store file of the box's own; gives tests the folder's
// files (relative names are relative to it) and the store's contents.
// Built for Windows, it runs dorvalex.exe on the system's registry, which the boxes share: each
// box deletes the keys earlier boxes added below HKLM\SOFTWARE, its Classes and HKU\.DEFAULT,
// and DumpStore shows only such keys. Run and ReadFile check that lines end in CR LF there and
// give them with LF alone; the banner's second line, naming the system, reads as kBanner's.
#ifndef DORVALEX_TESTS_BLACKBOX_H_
#define DORVALEX_TESTS_BLACKBOX_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/registry_service.h"
#include "testing/registry_contract.h"

struct RunResult {
  int exitCode = -1;   // the process exit code; 128 + signal number when it was killed
  std::string output;  // standard output
  std::string errors;  // standard error (the program writes none)
};

// What every run prints first.
inline const std::string kBanner =
    "DORVALEX Version 1.0.2.3  (c) DORVALEX developers\n"
    "         Running on Unknown OS Operating System\n\n";

// Environment changes for one run: a value sets the variable, none removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

std::string DorvalexBinary();  // its path

// Whether the boxes hold a Windows folder of hive files rather than an SQLite store
// ($DX_BLACKBOX_STORE=hive): the same cases then run against the hive backend.
bool HiveStoreUnderTest();
// The Windows build works on the system's registry, under Wine in this project's tests: where
// it answers otherwise than a local store are Wine's declared traits.
#ifdef _WIN32
inline constexpr bool kWindowsBuild = true;
#else
inline constexpr bool kWindowsBuild = false;
#endif
inline RegistryTraits BoxTraits() {
  return kWindowsBuild ? WineRegistryTraits() : RegistryTraits{};
}

class BlackBox {
 public:
  BlackBox();
  ~BlackBox();
  BlackBox(const BlackBox&) = delete;
  BlackBox& operator=(const BlackBox&) = delete;

  // A run that outlasts `timeoutSeconds` is killed and fails the test, as a sanitizer report does.
  // With `killWhen`, asked about every 0.1 ms while the run lasts, the run is killed with
  // SIGKILL once it says so (its exit code is then 137), which is not a failure.
  RunResult Run(const std::vector<std::string>& args, const EnvChanges& env = {},
                int timeoutSeconds = 120, const std::function<bool()>& killWhen = nullptr) const;

  const std::string& storePath() const { return storePath_; }
  std::string PathOf(std::string_view name) const;
  void WriteFile(std::string_view name, std::string_view content) const;
  std::optional<std::string> ReadFile(std::string_view name) const;  // none when unreadable
  bool FileExists(std::string_view name) const;

  // The store of this box, opened in this process; let it go before the next Run.
  std::unique_ptr<RegistryService> OpenStore() const;
  // Seeding by full key path ("HKLM\\SOFTWARE\\A"), missing keys created; failures fail the test.
  void SetValue(std::string_view keyPath, std::string_view name, uint32_t type,
                std::string_view data) const;
  void SetString(std::string_view keyPath, std::string_view name, std::string_view text) const {
    SetValue(keyPath, name, 1, std::string(text) + '\0');
  }
  void SetDword(std::string_view keyPath, std::string_view name, uint32_t value) const {
    SetValue(keyPath, name, 4, std::string_view(reinterpret_cast<const char*>(&value), 4));
  }
  // The whole store as text, each key's values sorted by name (format: testing/registry_dump.h).
  std::string DumpStore() const;

 private:
  std::string dir_;
  std::string storePath_;
  mutable std::map<std::string, std::string> written_;  // WriteFile's content by name
};

#endif  // DORVALEX_TESTS_BLACKBOX_H_
