#include "app/os_description.h"

#include <gtest/gtest.h>

#include <string>

namespace {

OsVersionRecord Nt(uint32_t major, uint32_t minor, uint8_t product, const char* csd = "SP",
                   uint32_t build = 1381) {
  OsVersionRecord v;
  v.platformId = 2;
  v.majorVersion = major;
  v.minorVersion = minor;
  v.buildNumber = build;
  v.csdVersion = csd;
  v.extended = true;
  v.productType = product;
  return v;
}

OsVersionRecord NtPlain(uint32_t major, const char* productOptions) {
  OsVersionRecord v = Nt(major, 0, 0);
  v.extended = false;
  v.productOptions = productOptions;
  return v;
}

OsVersionRecord Windows(uint32_t platform, uint32_t major, uint32_t minor) {
  OsVersionRecord v;
  v.platformId = platform;
  v.majorVersion = major;
  v.minorVersion = minor;
  v.buildNumber = 0x04000950;
  v.csdVersion = " A ";
  return v;
}

// Every family the naming rules know, from the reported version to the banner text.
TEST(OsDescriptionTest, DescribesEverySystemFamily) {
  struct Case {
    const char* system;
    OsVersionRecord version;
    const char* description;
  };
  const Case cases[] = {
      {"Win32s", Windows(0, 3, 11), "Win32s OS Operating System"},
      {"95 platform 4.0", Windows(1, 4, 0), "Windows 95 Operating System"},
      {"95 platform 3.95", Windows(1, 3, 95), "Windows 95 Operating System"},
      {"95 platform 4.10", Windows(1, 4, 10), "Windows 98 Operating System"},
      {"95 platform 4.90", Windows(1, 4, 90), "Windows 98 Operating System"},
      {"95 platform 5.0", Windows(1, 5, 0), "Windows 98 Operating System"},
      {"NT 4.0 workstation", Nt(4, 0, 1, "Service Pack 6", 1381),
       "Windows NT Workstation 4.0 Service Pack 6 (Build 1381)"},
      {"NT 3.51 workstation", Nt(3, 51, 1, "", 1057),
       "Windows NT Workstation 3.51  (Build 1057)"},
      {"NT 4.0 server", Nt(4, 0, 3, "Service Pack 6a"),
       "Windows NT Server 4.0 Service Pack 6a (Build 1381)"},
      {"NT 4.0 server, plain query", NtPlain(4, "ServerNT"),
       "Windows NT Server 4.0 SP (Build 1381)"},
      {"NT 4.0 workstation, plain query", NtPlain(4, "winnt"),
       "Windows NT Workstation 4.0 SP (Build 1381)"},
      {"NT 4.0, plain query, other product", NtPlain(4, "LanmanNT"),
       "Windows NT  4.0 SP (Build 1381)"},
      {"NT 5.0 server", Nt(5, 0, 3, "Service Pack 4", 2195),
       "Windows 2000 Server 5.0 Service Pack 4 (Build 2195)"},
      {"NT 5.0 server, plain query", NtPlain(5, "SERVERNT"),
       "Windows 2000 Server 5.0 SP (Build 1381)"},
      {"NT 5.1 workstation", Nt(5, 1, 1, "Service Pack 3", 2600),
       "Windows NT Workstation 5.1 Service Pack 3 (Build 2600)"},
      {"NT 5.0 domain controller", Nt(5, 0, 2, "Service Pack 4", 2195),
       "Windows 2000  5.0 Service Pack 4 (Build 2195)"},
      {"NT 10.0 workstation", Nt(10, 0, 1, "", 19045),
       "Windows NT Workstation 10.0  (Build 19045)"},
      {"NT 6.1 server", Nt(6, 1, 3), "Unknown OS Operating System"},
      {"NT 6.1 domain controller", Nt(6, 1, 2), "Unknown OS Operating System"},
      {"NT 6.0, plain query", NtPlain(6, "WINNT"), "Unknown OS Operating System"},
      {"unknown platform", Windows(3, 4, 0), "Unknown OS Operating System"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.system);
    EXPECT_EQ(DescribeOs(ClassifyOsVersion(c.version)), c.description);
  }
}

TEST(OsDescriptionTest, OnlyTheNtPlatformRecordsVersionNumbers) {
  OsInfo nt = ClassifyOsVersion(Nt(4, 0, 1, "Service Pack 5", 0x0A280565));
  EXPECT_EQ(nt.buildNumber, 0x0565u);  // the high word is not part of the build number
  EXPECT_EQ(nt.servicePack, "Service Pack 5");
  EXPECT_EQ(DescribeOs(nt), "Windows NT Workstation 4.0 Service Pack 5 (Build 1381)");

  OsInfo win98 = ClassifyOsVersion(Windows(1, 4, 10));
  EXPECT_EQ(win98.majorVersion, 0u);
  EXPECT_EQ(win98.minorVersion, 0u);
  EXPECT_EQ(win98.buildNumber, 0u);
  EXPECT_EQ(win98.servicePack, "");

  OsInfo longPack = ClassifyOsVersion(Nt(4, 0, 1, std::string(300, 's').c_str(), 1));
  EXPECT_EQ(longPack.servicePack.size(), 127u);
}

TEST(OsDescriptionTest, FormatChoiceFollowsTheSystemTypeAlone) {
  OsInfo info;
  info.majorVersion = 6;
  info.minorVersion = 2;
  info.buildNumber = 9200;
  info.productType = kProductServer;
  info.osType = kOsWindows98;
  EXPECT_EQ(DescribeOs(info), "Windows 98 Operating System");
  info.osType = kOsWindows2000;
  EXPECT_EQ(DescribeOs(info), "Windows 2000 Server 6.2  (Build 9200)");
}

TEST(OsDescriptionTest, ThisPlatformIsAnUnnamedSystem) {
  OsInfo info;
  info.osType = kOsWindowsNt;
  info.servicePack = "stale";
  ASSERT_TRUE(QueryOsVersion(&info));
  EXPECT_EQ(info.osType, kOsUnknown);
  EXPECT_EQ(info.servicePack, "");
  EXPECT_EQ(DescribeOs(info), "Unknown OS Operating System");
}

}  // namespace
