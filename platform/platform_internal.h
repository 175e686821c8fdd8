// What each system's implementation of the platform interface gives the part they share
// (platform_common.cc). Seen only inside platform/.
#ifndef DORVALEX_PLATFORM_PLATFORM_INTERNAL_H_
#define DORVALEX_PLATFORM_PLATFORM_INTERNAL_H_

#include <string>

namespace platform {

// Splits a path into its folder, which keeps its last separator (the current folder for a bare
// name), and its last component.
void SplitPath(const std::string& path, std::string* folder, std::string* name);

// Whether names that differ only in the case of ASCII letters name one entry of a folder.
#ifdef _WIN32
inline constexpr bool kNamesIgnoreCase = true;
#else
inline constexpr bool kNamesIgnoreCase = false;
#endif

}  // namespace platform

#endif  // DORVALEX_PLATFORM_PLATFORM_INTERNAL_H_
