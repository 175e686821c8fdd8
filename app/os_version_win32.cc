// The version query of the running Windows system (Windows builds): the extended record first,
// the plain one when the system refuses it, and then the product type from the registry.
#include "app/os_version_win32.h"

#include <windows.h>

#include <cstring>

namespace {

// The registry's product text, read as the plain query's systems keep it; none when unreadable.
std::optional<std::string> ReadProductOptions() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\ProductOptions", 0,
                    KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  char text[80] = {};
  DWORD size = sizeof text;
  LONG status = RegQueryValueExA(key, "ProductType", nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return std::nullopt;
  return std::string(text, strnlen(text, size < sizeof text ? size : sizeof text));
}

}  // namespace

bool QueryOsVersionWith(VersionCall getVersion, OsInfo* info) {
  *info = OsInfo();
  OSVERSIONINFOEXA version = {};
  version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
  bool extended = getVersion(&version) != 0;
  if (!extended) {
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    if (!getVersion(&version)) return false;
  }
  OsVersionRecord record;
  record.platformId = version.dwPlatformId;
  record.majorVersion = version.dwMajorVersion;
  record.minorVersion = version.dwMinorVersion;
  record.buildNumber = version.dwBuildNumber;
  record.csdVersion.assign(version.szCSDVersion, strnlen(version.szCSDVersion, 128));
  record.extended = extended;
  record.productType = extended ? version.wProductType : 0;
  if (!extended && record.platformId == VER_PLATFORM_WIN32_NT) {
    record.productOptions = ReadProductOptions();
  }
  *info = ClassifyOsVersion(record);
  return true;
}

bool QueryOsVersion(OsInfo* info) {
  return QueryOsVersionWith(
      [](void* record) { return GetVersionExA(static_cast<OSVERSIONINFOA*>(record)) ? 1 : 0; },
      info);
}
