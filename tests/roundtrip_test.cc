// The backout promise on random cases: from a random store, a random script of UPDATE and
// DELETE lines (native or REGEDIT4; some native ones with APPEND, PREPEND, REMOVE and REPLACE)
// applied with /BACKUP:, some made to fail part way, then the backout file applied, must leave
// the store exactly as it was. DX_ROUNDTRIP_SEED=<seed> reproduces one case;
// DX_ROUNDTRIP_CASES sets how many run (300). What the cases leave out: tests/script_generator.h.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "testing/registry_dump.h"
#include "tests/blackbox.h"
#include "tests/script_generator.h"

namespace {

TEST(RoundTripTest, ApplyingTheBackoutFileRestoresTheStore) {
  const char *fixedSeed = getenv("DX_ROUNDTRIP_SEED"), *caseCount = getenv("DX_ROUNDTRIP_CASES");
  int cases = fixedSeed ? 1 : caseCount && *caseCount ? atoi(caseCount) : 300;
  uint32_t firstSeed = fixedSeed ? static_cast<uint32_t>(strtoul(fixedSeed, nullptr, 10)) : 1;
  int failures = 0;
  for (int i = 0; i < cases && failures < 3; ++i) {
    uint32_t seed = firstSeed + static_cast<uint32_t>(i);
    bool regedit4 = seed % 3 == 0, fails = seed % 4 == 1;
    BlackBox box;
    ScriptGenerator generator(seed, !regedit4 && seed % 2 == 0);
    generator.Seed(*box.OpenStore());
    std::string before = box.DumpStore();
    std::string script = generator.Script(regedit4, fails);
    box.WriteFile("script.txt", script);
    RunResult apply = box.Run({"/REG:script.txt", "/BACKUP:undo.txt"});
    RunResult undo = box.Run({"/REG:undo.txt"});
    std::string after = box.DumpStore();
    if (apply.exitCode == (fails ? 1 : 0) && undo.exitCode == 0 && after == before &&
        (apply.output.find("Fatal Error - Program Exit") != std::string::npos) == fails &&
        (fails || apply.output.find("***ERROR") == std::string::npos) &&
        undo.output.find("***ERROR") == std::string::npos)
      continue;
    ++failures;
    ADD_FAILURE() << "reproduce with DX_ROUNDTRIP_SEED=" << seed << "\n--- script\n" << script
                  << "--- apply (exit " << apply.exitCode << ")\n" << apply.output
                  << "--- backout\n" << box.ReadFile("undo.txt").value_or("<missing>")
                  << "--- undo (exit " << undo.exitCode << ")\n" << undo.output
                  << "--- store before\n" << before << "--- store after\n" << after;
  }
}

// A key with more values than a batch holds in memory is worked on in the store line by line,
// also when it comes back after another key: its values keep their order and the backout
// file undoes it all the same.
TEST(RoundTripTest, KeyTooLargeToHoldInMemory) {
  BlackBox box;
  for (int i = 0; i < 20; ++i)
    box.SetString("HKLM\\SOFTWARE\\Big", "v" + std::to_string(i * 300), "old");
  box.SetDword("HKLM\\SOFTWARE\\Small", "n", 1);
  const std::string before = box.DumpStore();
  std::string script = "REGEDIT4\n", expected = "[Big]\n";
  std::vector<std::string> values;
  for (int pass = 0; pass < 2; ++pass) {
    script += "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Big]\n";
    for (int i = 0; i < 5000; ++i)
      script += "\"V" + std::to_string(i) + "\"=\"p" + std::to_string(pass) + "\"\n";
    script += "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Small]\n\"n\"=dword:00000002\n";
  }
  for (int i = 0; i < 20; ++i)
    values.push_back("  \"v" + std::to_string(i * 300) +
                     (i * 300 < 5000 ? "\"=1:\"p1\\0\"\n" : "\"=1:\"old\\0\"\n"));
  for (int i = 0; i < 5000; ++i)
    if (i % 300) values.push_back("  \"V" + std::to_string(i) + "\"=1:\"p1\\0\"\n");
  // A registry that lists values by name (Wine) is held to that order instead.
  const bool byName = BoxTraits().valuesSortedByName;
  if (byName) std::sort(values.begin(), values.end());
  for (const std::string& value : values) expected += value;
  box.WriteFile("script.reg", script);
  RunResult apply = box.Run({"/REG:script.reg", "/BACKUP:undo.txt"});
  EXPECT_EQ(apply.exitCode, 0) << apply.output;
  EXPECT_EQ(DumpRegistryKey(*box.OpenStore(), kHkeyLocalMachine, "SOFTWARE\\Big", "Big",
                            byName ? ValueOrder::kByName : ValueOrder::kEnumeration),
            expected);
  RunResult undo = box.Run({"/REG:undo.txt"});
  EXPECT_EQ(undo.exitCode, 0) << undo.output;
  EXPECT_EQ(box.DumpStore(), before);
}

}  // namespace
