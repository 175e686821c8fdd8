// The system naming rules: every family from the reported version to the banner text.
#include "app/os_description.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// An NT-platform record from the extended query (`product` 1, 2 or 3).
OsVersionRecord Nt(uint32_t major, uint32_t minor, uint8_t product, const char* csd = "SP",
                   uint32_t build = 1381) {
  return OsVersionRecord{2, major, minor, build, csd, true, product, std::nullopt};
}

// An NT-platform record from the plain query, which gives the product as registry text.
OsVersionRecord NtPlain(uint32_t major, const char* productOptions) {
  OsVersionRecord v = Nt(major, 0, 0);
  v.extended = false;
  v.productOptions = productOptions;
  return v;
}

// A record of the other platforms, whose version numbers never show.
OsVersionRecord Windows(uint32_t platform, uint32_t major, uint32_t minor) {
  return OsVersionRecord{platform, major, minor, 0x04000950, " A ", false, 0, std::nullopt};
}

TEST(OsDescriptionTest, DescribesEverySystemFamily) {
  const std::pair<OsVersionRecord, const char*> cases[] = {
      {Windows(0, 3, 11), "Win32s OS Operating System"},
      {Windows(1, 3, 95), "Windows 95 Operating System"},
      {Windows(1, 4, 0), "Windows 95 Operating System"},
      {Windows(1, 4, 10), "Windows 98 Operating System"},
      {Windows(1, 5, 0), "Windows 98 Operating System"},
      // Only the low word of the build number counts.
      {Nt(4, 0, 1, "Service Pack 6", 0x0A280565),
       "Windows NT Workstation 4.0 Service Pack 6 (Build 1381)"},
      {Nt(3, 51, 1, "", 1057), "Windows NT Workstation 3.51  (Build 1057)"},
      {Nt(4, 0, 3, "Service Pack 6a"), "Windows NT Server 4.0 Service Pack 6a (Build 1381)"},
      {NtPlain(4, "ServerNT"), "Windows NT Server 4.0 SP (Build 1381)"},
      {NtPlain(4, "winnt"), "Windows NT Workstation 4.0 SP (Build 1381)"},
      {NtPlain(4, "LanmanNT"), "Windows NT  4.0 SP (Build 1381)"},
      {Nt(5, 0, 3, "Service Pack 4", 2195), "Windows 2000 Server 5.0 Service Pack 4 (Build 2195)"},
      {NtPlain(5, "SERVERNT"), "Windows 2000 Server 5.0 SP (Build 1381)"},
      {Nt(5, 0, 2, "Service Pack 4", 2195), "Windows 2000  5.0 Service Pack 4 (Build 2195)"},
      {Nt(5, 1, 1, "Service Pack 3", 2600),
       "Windows NT Workstation 5.1 Service Pack 3 (Build 2600)"},
      {Nt(10, 0, 1, "", 19045), "Windows NT Workstation 10.0  (Build 19045)"},
      {Nt(6, 1, 3), "Unknown OS Operating System"},
      {NtPlain(6, "WINNT"), "Unknown OS Operating System"},
      {Windows(3, 4, 0), "Unknown OS Operating System"},
  };
  for (size_t row = 0; row < std::size(cases); ++row)
    EXPECT_EQ(DescribeOs(ClassifyOsVersion(cases[row].first)), cases[row].second) << "row " << row;
  EXPECT_EQ(ClassifyOsVersion(Nt(4, 0, 1, std::string(300, 's').c_str())).servicePack.size(), 127u);
}

}  // namespace
