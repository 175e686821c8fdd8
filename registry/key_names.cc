// Name rules shared by every backend that keeps its own keys.
#include "registry/key_names.h"

#include "base/ascii_case.h"

std::string FoldName(std::string_view name) { return FoldAsciiCase(name); }

RegStatus SplitSubkeyPath(std::string_view path, std::vector<std::string_view>* levels) {
  levels->clear();
  if (path.empty()) return kErrorSuccess;
  size_t start = 0;
  while (true) {
    size_t end = path.find('\\', start);
    std::string_view level = path.substr(start, end == std::string_view::npos ? path.npos
                                                                               : end - start);
    if (level.empty() || level.size() > kMaxKeyNameLength ||
        level.find('\0') != std::string_view::npos)
      return kErrorInvalidParameter;
    levels->push_back(level);
    if (end == std::string_view::npos) return kErrorSuccess;
    start = end + 1;
  }
}

RegStatus CheckValueName(std::string_view name) {
  if (name.size() > kMaxValueNameLength || name.find('\0') != std::string_view::npos)
    return kErrorInvalidParameter;
  return kErrorSuccess;
}
