// Rules for registry names: case-insensitive comparison of ASCII letters, the length limits of
// key and value names, and the splitting of a subkey path into its levels.
#ifndef DORVALEX_REGISTRY_KEY_NAMES_H_
#define DORVALEX_REGISTRY_KEY_NAMES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "registry/win32_codes.h"

inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxValueNameLength = 16383;
// Keys nest at most this many levels below their root; deeper creates are refused with 87.
inline constexpr int64_t kMaxKeyDepth = 512;
// Value data beyond this is refused with 87; the store keeps at least 16 MiB per value.
inline constexpr size_t kMaxValueDataLength = 256u << 20;

// The comparison form of a name: ASCII letters upper-cased, every other byte as it is.
std::string FoldName(std::string_view name);

// Splits "A\B\C" into its levels. An empty path gives no levels (the key itself).
// 87: an empty level (doubled, leading or trailing backslash), a level longer than 255 bytes
// or one holding a NUL byte.
RegStatus SplitSubkeyPath(std::string_view path, std::vector<std::string_view>* levels);

// 87 for a value name longer than 16383 bytes or holding a NUL byte.
RegStatus CheckValueName(std::string_view name);

#endif  // DORVALEX_REGISTRY_KEY_NAMES_H_
