// Black-box test harness: runs the built `dorvalex` binary in a fresh temporary folder with a
// fresh store file of its own, and gives tests the folder's files and the store's contents.
//
//   BlackBox box;                                   // new folder, new (empty) store
//   box.WriteFile("in.txt", "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\A]\n");
//   box.SetString("HKLM\\SOFTWARE\\A", "old", "x");  // seed the store directly
//   RunResult r = box.Run({"/REG:in.txt", "/BACKUP:undo.txt"});
//   EXPECT_EQ(r.exitCode, 0);  EXPECT_EQ(r.output, "...");   // stdout, byte for byte
//   EXPECT_EQ(box.ReadFile("undo.txt"), "DORVALEX\n...");
//   EXPECT_EQ(box.DumpStore(), before);              // the whole store as canonical text
//
// The binary runs with the folder as its working directory, standard input from /dev/null and
// DORVALEX_REGISTRY naming the box's store. Relative names given to the file helpers are
// relative to the folder; absolute names are used as they are. The binary is looked up in
// $DX_BUILD_DIR (set by ctest), else in the build folder this harness was compiled for.
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

struct RunResult {
  int exitCode = -1;   // the process exit code; 128 + signal number when it was killed
  std::string output;  // everything written to standard output
  std::string errors;  // everything written to standard error (the program writes none)
};

// Environment changes for one run: a value sets the variable, none removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// Path of the binary under test.
std::string DorvalexBinary();

class BlackBox {
 public:
  BlackBox();
  ~BlackBox();
  BlackBox(const BlackBox&) = delete;
  BlackBox& operator=(const BlackBox&) = delete;

  // Runs the binary with `args` (the program name is added in front). A run that takes longer
  // than `timeoutSeconds` is killed and fails the test, and so does a sanitizer report.
  RunResult Run(const std::vector<std::string>& args, const EnvChanges& env = {},
                int timeoutSeconds = 120) const;

  const std::string& dir() const { return dir_; }
  const std::string& storePath() const { return storePath_; }
  std::string PathOf(std::string_view name) const;

  void WriteFile(std::string_view name, std::string_view content) const;
  // The whole file, or none when it cannot be read.
  std::optional<std::string> ReadFile(std::string_view name) const;
  bool FileExists(std::string_view name) const;

  // The store of this box, opened in this process; close it (let it go) before the next Run.
  std::unique_ptr<RegistryService> OpenStore() const;
  // Seeding: `keyPath` is a full key path ("HKLM\\SOFTWARE\\A", long root names too); missing
  // keys are created. A failing store call fails the test.
  void CreateKey(std::string_view keyPath) const;
  void SetValue(std::string_view keyPath, std::string_view name, uint32_t type,
                std::string_view data) const;
  void SetString(std::string_view keyPath, std::string_view name, std::string_view text) const;
  void SetDword(std::string_view keyPath, std::string_view name, uint32_t value) const;
  // Every key under the five roots with its values, one line each, keys in enumeration order
  // and values sorted by name, so two stores with the same contents give the same text:
  //   [HKEY_LOCAL_MACHINE\SOFTWARE\A]
  //   "name"=1:"text"          REG_SZ/REG_EXPAND_SZ: printable text with its one final NUL
  //   @=4:0x0000002a           REG_DWORD of 4 bytes (the default value is "@")
  //   "bin"=3:hex(01,ff)       anything else: type number and bytes
  std::string DumpStore() const;

 private:
  // Opens (creating) the key in the store and hands it to `fill`.
  void SeedKey(std::string_view keyPath,
               const std::function<RegStatus(RegistryService&, KeyHandle)>& fill) const;

  std::string dir_;
  std::string storePath_;
};

#endif  // DORVALEX_TESTS_BLACKBOX_H_
