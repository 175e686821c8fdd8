// The example scripts shipped in examples/ apply cleanly, and their backout files undo them.
#include <gtest/gtest.h>

#include <string>

#include "tests/blackbox.h"

#ifndef DX_SOURCE_DIR
#define DX_SOURCE_DIR "."
#endif

namespace {

TEST(ExamplesTest, EachExampleAppliesAndItsBackoutUndoesIt) {
  for (const char* name : {"example.txt", "example-regedit4.reg"}) {
    SCOPED_TRACE(name);
    std::string script = std::string(DX_SOURCE_DIR) + "/examples/" + name;
    for (bool seeded : {false, true}) {
      BlackBox box;
      if (seeded) {
        box.SetString("HKLM\\SOFTWARE\\Dorvalex Example\\Settings", "InstallDir", "elsewhere");
        box.SetDword("HKLM\\SOFTWARE\\Dorvalex Example\\Imported", "Count", 7);
      }
      std::string before = box.DumpStore();
      RunResult run = box.Run({"/REG:" + script, "/BACKUP:undo.txt"});
      ASSERT_EQ(run.exitCode, 0) << run.output;
      EXPECT_NE(box.DumpStore(), before);
      run = box.Run({"/REG:undo.txt"});
      EXPECT_EQ(run.exitCode, 0) << run.output;
      EXPECT_EQ(box.DumpStore(), before) << box.ReadFile("undo.txt").value_or("");
    }
  }
}

}  // namespace
