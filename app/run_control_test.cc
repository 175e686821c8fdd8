// Run control in-process: the exits that the system itself decides.
#include "app/run_control.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/capture_output.h"

namespace {

bool RefuseVersionQuery(OsInfo*) { return false; }

TEST(RunControlInProcessTest, SystemQueryAndArgumentFailuresEndAtOnce) {
  CaptureOutput out;
  const char* argv[] = {"dorvalex", "/REG:in.txt"};
  EXPECT_EQ(RunDorvalex(2, argv, RefuseVersionQuery), 1);
  EXPECT_EQ(out.Take(), "***ERROR : Unable to Get Operating System Version\n");
  EXPECT_EQ(RunDorvalex(2, nullptr), 1);
  EXPECT_EQ(out.Take(), "***ERROR : Unable to initialise Parameter Library\n");
}

}  // namespace
