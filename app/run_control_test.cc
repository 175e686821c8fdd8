// Run control in-process: the exits that the system itself decides and the usage text of
// systems other than this one.
#include "app/run_control.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/capture_output.h"

namespace {

bool RefuseVersionQuery(OsInfo*) { return false; }

bool ReportWindows2000(OsInfo* info) {
  *info = OsInfo();
  info->osType = kOsWindows2000;
  info->productType = kProductServer;
  info->majorVersion = 5;
  info->buildNumber = 2195;
  info->servicePack = "Service Pack 4";
  return true;
}

TEST(RunControlInProcessTest, SystemQueryAndArgumentFailuresEndAtOnce) {
  CaptureOutput out;
  const char* argv[] = {"dorvalex", "/REG:in.txt"};
  EXPECT_EQ(RunDorvalex(2, argv, RefuseVersionQuery), 1);
  EXPECT_EQ(out.Take(), "***ERROR : Unable to Get Operating System Version\n");
  EXPECT_EQ(RunDorvalex(2, nullptr), 1);
  EXPECT_EQ(out.Take(), "***ERROR : Unable to initialise Parameter Library\n");
}

TEST(RunControlInProcessTest, UsageListsRemoteMachineOnlyOnTheNtFamily) {
  CaptureOutput out;
  const char* argv[] = {"dorvalex", "/VERBOSE"};
  EXPECT_EQ(RunDorvalex(2, argv, ReportWindows2000), 1);
  // The NT family adds the remote machine to the synopsis and to the list of options.
  const std::string usage = out.Take();
  EXPECT_NE(usage.find("Running on Windows 2000 Server 5.0 Service Pack 4 (Build 2195)\n\nUsage:"),
            std::string::npos) << usage;
  EXPECT_NE(usage.find("[/NOREVERSE] [/MACHINE:\"Computer Name\"]\n"), std::string::npos);
  EXPECT_TRUE(usage.ends_with(" /MACHINE:  - Applies Registry file to remote machine named\n\n"));
  for (int osType = kOsUnknown; osType <= kOsWindows2000; ++osType) {
    OsInfo os;
    os.osType = osType;
    PrintUsage(os);
    EXPECT_EQ(out.Take().find("MACHINE") != std::string::npos, osType >= kOsWindowsNt) << osType;
  }
}

}  // namespace
