// Naming rules for the operating-system description.
#include "app/os_description.h"

#include "base/ascii_case.h"
#include "report/report.h"

namespace {

constexpr uint32_t kPlatformWin32s = 0;
constexpr uint32_t kPlatformWindows = 1;
constexpr uint32_t kPlatformNt = 2;
constexpr uint8_t kNtWorkstation = 1;
constexpr uint8_t kNtServer = 3;
constexpr size_t kServicePackCapacity = 127;

const char* SystemName(int osType) {
  switch (osType) {
    case kOsWin32s: return "Win32s OS";
    case kOsWindows95: return "Windows 95";
    case kOsWindows98: return "Windows 98";
    case kOsWindowsNt: return "Windows NT";
    case kOsWindows2000: return "Windows 2000";
    default: return "Unknown OS";
  }
}

const char* ProductText(int productType) {
  switch (productType) {
    case kProductWorkstation: return "Workstation";
    case kProductServer: return "Server";
    default: return "";
  }
}

}  // namespace

OsInfo ClassifyOsVersion(const OsVersionRecord& version) {
  OsInfo info;
  switch (version.platformId) {
    case kPlatformWin32s:
      info.osType = kOsWin32s;
      return info;
    case kPlatformWindows: {
      bool after95 = version.majorVersion > 4 ||
                     (version.majorVersion == 4 && version.minorVersion > 0);
      info.osType = after95 ? kOsWindows98 : kOsWindows95;
      return info;
    }
    case kPlatformNt:
      break;
    default:
      return info;
  }
  if (version.majorVersion <= 4) {
    info.osType = kOsWindowsNt;
  } else if (version.majorVersion == 5) {
    info.osType = kOsWindows2000;
  }
  if (version.extended) {
    if (version.productType == kNtWorkstation) {
      info.osType = kOsWindowsNt;
      info.productType = kProductWorkstation;
    } else if (version.productType == kNtServer) {
      info.productType = kProductServer;
    }
  } else if (version.productOptions) {
    if (EqualsIgnoringCase(*version.productOptions, "WINNT")) {
      info.productType = kProductWorkstation;
    } else if (EqualsIgnoringCase(*version.productOptions, "SERVERNT")) {
      info.productType = kProductServer;
    }
  }
  info.majorVersion = version.majorVersion;
  info.minorVersion = version.minorVersion;
  info.buildNumber = version.buildNumber & 0xFFFF;
  info.servicePack = version.csdVersion.substr(0, kServicePackCapacity);
  return info;
}

std::string DescribeOs(const OsInfo& info) {
  const char* name = SystemName(info.osType);
  if (info.osType >= kOsWindowsNt) {
    return FormatText("%s %s %u.%u %s (Build %u)", name, ProductText(info.productType),
                      info.majorVersion, info.minorVersion, info.servicePack.c_str(),
                      info.buildNumber);
  }
  return FormatText("%s Operating System", name);
}
