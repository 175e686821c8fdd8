// The Windows version query with the extended record refused, as systems before NT 4.0 SP6
// refuse it (the running system's own answer is read in every black-box run's banner).
#include "app/os_version_win32.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

// An NT 4.0 system that knows only the plain record.
int PlainRecordOnly(void* record) {
  auto* version = static_cast<OSVERSIONINFOA*>(record);
  if (version->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) return 0;
  version->dwPlatformId = VER_PLATFORM_WIN32_NT;
  version->dwMajorVersion = 4;
  version->dwMinorVersion = 0;
  version->dwBuildNumber = 0x05650565;  // only the low 16 bits are the build
  lstrcpyA(version->szCSDVersion, "Service Pack 5");
  return 1;
}

int Refused(void*) { return 0; }

TEST(OsVersionWin32Test, PlainRecordWithTheProductFromTheRegistry) {
  OsInfo info;
  // The registry's ProductType names the product on the plain path ("WinNT": workstation).
  ASSERT_TRUE(QueryOsVersionWith(PlainRecordOnly, &info));
  EXPECT_EQ(DescribeOs(info), "Windows NT Workstation 4.0 Service Pack 5 (Build 1381)");

  EXPECT_FALSE(QueryOsVersionWith(Refused, &info));
}

}  // namespace
