// Which operating system the program runs on, and its one-line description for the banner.
// The naming rules are those of the Windows family; a system they do not name (Linux, for
// instance) is "Unknown OS", which also hides the remote-machine lines of the usage text.
#ifndef DORVALEX_APP_OS_DESCRIPTION_H_
#define DORVALEX_APP_OS_DESCRIPTION_H_

#include <cstdint>
#include <optional>
#include <string>

// System types; the NT family is kOsWindowsNt and above.
inline constexpr int kOsUnknown = 0;
inline constexpr int kOsWin32s = 1;
inline constexpr int kOsWindows95 = 2;
inline constexpr int kOsWindows98 = 3;
inline constexpr int kOsWindowsNt = 4;
inline constexpr int kOsWindows2000 = 5;

// Product types.
inline constexpr int kProductNone = 0;
inline constexpr int kProductWorkstation = 1;
inline constexpr int kProductServer = 3;

struct OsInfo {
  int osType = kOsUnknown;
  int productType = kProductNone;
  uint32_t majorVersion = 0;  // the version fields are filled on the NT platform only
  uint32_t minorVersion = 0;
  uint32_t buildNumber = 0;   // low 16 bits of the reported build number
  std::string servicePack;    // at most 127 characters
};

// What a Windows version query reports. `extended`: the query that also gives the product
// type succeeded; otherwise `productOptions` is the registry's ProductType text, if readable.
struct OsVersionRecord {
  uint32_t platformId = 0;  // 0 Win32s, 1 the 95/98 platform, 2 NT
  uint32_t majorVersion = 0;
  uint32_t minorVersion = 0;
  uint32_t buildNumber = 0;
  std::string csdVersion;
  bool extended = false;
  uint8_t productType = 0;  // 1 workstation, 2 domain controller, 3 server
  std::optional<std::string> productOptions;  // "WINNT", "SERVERNT", ...
};

// Applies the naming rules to a reported version.
OsInfo ClassifyOsVersion(const OsVersionRecord& version);

// Fills `info` for the running system. False only when Windows refuses both version queries.
// Systems without such a query are one the naming tables do not name, and give true.
[[nodiscard]] bool QueryOsVersion(OsInfo* info);

// "Windows NT Workstation 4.0 Service Pack 6 (Build 1381)" for the NT family,
// "<system name> Operating System" otherwise.
std::string DescribeOs(const OsInfo& info);

#endif  // DORVALEX_APP_OS_DESCRIPTION_H_
