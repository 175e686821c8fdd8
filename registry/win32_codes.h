// Named Win32 result codes and constants of the registry interface. Every registry call
// returns one of these codes; 0 is success.
#ifndef DORVALEX_REGISTRY_WIN32_CODES_H_
#define DORVALEX_REGISTRY_WIN32_CODES_H_

#include <cstdint>

using RegStatus = int32_t;

inline constexpr RegStatus kErrorSuccess = 0;
inline constexpr RegStatus kErrorFileNotFound = 2;
inline constexpr RegStatus kErrorPathNotFound = 3;
inline constexpr RegStatus kErrorAccessDenied = 5;
inline constexpr RegStatus kErrorInvalidHandle = 6;
inline constexpr RegStatus kErrorNotEnoughMemory = 8;
inline constexpr RegStatus kErrorNotSupported = 50;
inline constexpr RegStatus kErrorBadNetPath = 53;
inline constexpr RegStatus kErrorInvalidParameter = 87;
inline constexpr RegStatus kErrorDiskFull = 112;
inline constexpr RegStatus kErrorBusy = 170;
inline constexpr RegStatus kErrorMoreData = 234;
inline constexpr RegStatus kErrorNoMoreItems = 259;
inline constexpr RegStatus kErrorBadDb = 1009;
inline constexpr RegStatus kErrorBadKey = 1010;
inline constexpr RegStatus kErrorRegistryIoFailed = 1016;
inline constexpr RegStatus kErrorKeyDeleted = 1018;
inline constexpr RegStatus kErrorRpcUnavailable = 1722;

// Access masks passed to RegOpenKeyExA.
inline constexpr uint32_t kKeyQueryValue = 0x0001;
inline constexpr uint32_t kKeySetValue = 0x0002;
inline constexpr uint32_t kKeyEnumerateSubKeys = 0x0008;
inline constexpr uint32_t kKeyRead = 0x20019;
inline constexpr uint32_t kKeyAllAccess = 0xF003F;

// Registry value types (any other 32-bit number is stored as it is).
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegDwordBigEndian = 5;
inline constexpr uint32_t kRegLink = 6;
inline constexpr uint32_t kRegMultiSz = 7;
inline constexpr uint32_t kRegQword = 11;
// Marks data text that names no value form; never stored.
inline constexpr uint32_t kUnrecognisedType = 255;

#endif  // DORVALEX_REGISTRY_WIN32_CODES_H_
