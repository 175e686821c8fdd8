// Option queries over the command-line arguments.
#include "app/options.h"

#include "base/ascii_case.h"

namespace {

std::string FlagPattern(std::string_view name) {
  std::string pattern(1, '/');
  pattern.append(name);
  return pattern;
}
std::string ValuePattern(std::string_view name) { return FlagPattern(name).append(1, ':'); }

}  // namespace

void UpperCase(std::string& text) {
  for (char& c : text) c = FoldAsciiCase(c);
}

void UpperCase(char* text) {
  for (; *text != '\0'; ++text) *text = FoldAsciiCase(*text);
}

bool ParameterLibrary::InitParameters(int count, const char* const* vector) {
  arguments_.clear();
  if (count < 0 || (count > 0 && vector == nullptr)) return false;
  arguments_.reserve(count);
  for (int i = 0; i < count; ++i) {
    if (vector[i] == nullptr) {
      arguments_.clear();
      return false;
    }
    arguments_.emplace_back(vector[i]);
  }
  return true;
}

bool ParameterLibrary::FreeParameters() {
  arguments_.clear();
  arguments_.shrink_to_fit();
  return true;
}

bool ParameterLibrary::NoArguments() const { return arguments_.size() <= 1; }

size_t ParameterLibrary::FindArgument(std::string_view pattern) const {
  for (size_t i = 1; i < arguments_.size(); ++i) {
    if (StartsWithIgnoringCase(arguments_[i], pattern)) return i;
  }
  return 0;
}

bool ParameterLibrary::HasOption(std::string_view name) const {
  return FindArgument(FlagPattern(name)) != 0;
}

bool ParameterLibrary::HasValueOption(std::string_view name) const {
  return FindArgument(ValuePattern(name)) != 0;
}

std::optional<std::string> ParameterLibrary::GetOptionValue(std::string_view name) const {
  std::string pattern = ValuePattern(name);
  size_t index = FindArgument(pattern);
  if (index == 0) return std::nullopt;
  return arguments_[index].substr(pattern.size());
}

bool ParameterLibrary::HasWord(std::string_view word) const {
  for (size_t i = 1; i < arguments_.size(); ++i) {
    if (arguments_[i] == word) return true;
  }
  return false;
}

std::vector<std::string> ParameterLibrary::UnknownArguments(
    std::span<const std::string_view> flags, std::span<const std::string_view> values) const {
  std::vector<std::string> unknown;
  for (size_t i = 1; i < arguments_.size(); ++i) {
    const std::string& arg = arguments_[i];
    bool known = false;
    for (std::string_view name : flags) known |= StartsWithIgnoringCase(arg, FlagPattern(name));
    for (std::string_view name : values) known |= StartsWithIgnoringCase(arg, ValuePattern(name));
    if (!known) unknown.push_back(arg);
  }
  return unknown;
}
