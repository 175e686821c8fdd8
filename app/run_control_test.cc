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
  EXPECT_EQ(out.Take(),
            "\n"
            "DORVALEX Version 1.0.2.3  (c) DORVALEX developers\n"
            "         Running on Windows 2000 Server 5.0 Service Pack 4 (Build 2195)\n"
            "\n"
            "Usage:\n"
            "DORVALEX /REGBACKUP [/OVERWRITE]\n"
            "DORVALEX /REG:\"Path to Input File\" [/BACKUP:\"Path to Backout File\"]\n"
            "         [/VERBOSE] [/NOACTION] [/OVERWRITE] [/CHANGES]\n"
            "         [/NOREVERSE] [/MACHINE:\"Computer Name\"]\n"
            "\n"
            " /REGBACKUP - Backs up HKLM and HKU keys to text file\n"
            " /VERBOSE   - Displays Verbose logging to stdout\n"
            " /NOACTION  - Does not actually write any changes to registry\n"
            " /OVERWRITE - Will continue if a backout file already exists\n"
            " /CHANGES   - Backup file (if specified) will only show changed items\n"
            " /NOREVERSE - Backup file will not be reversed\n"
            " /MACHINE:  - Applies Registry file to remote machine named\n"
            "\n");

  for (int osType = kOsUnknown; osType <= kOsWindows2000; ++osType) {
    OsInfo os;
    os.osType = osType;
    PrintUsage(os);
    std::string usage = out.Take();
    bool remote = usage.find("MACHINE") != std::string::npos;
    EXPECT_EQ(remote, osType >= kOsWindowsNt) << osType;
    EXPECT_EQ(usage.find(" /MACHINE:  - ") != std::string::npos, remote) << osType;
  }
}

}  // namespace
