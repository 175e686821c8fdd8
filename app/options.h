// The Parameter Library: the command-line arguments and the option queries run control makes.
// An option is found when an argument starts with its pattern ("/NAME" for a flag, "/NAME:"
// for a value), compared without regard to ASCII case; anything longer still counts
// (/NOACTIONS is /NOACTION). Values keep the case in which they were typed.
#ifndef DORVALEX_APP_OPTIONS_H_
#define DORVALEX_APP_OPTIONS_H_

#include <optional>
#include <string>
#include <span>
#include <string_view>
#include <vector>

// Upper-cases the ASCII letters a-z in place; every other byte stays as it is.
void UpperCase(std::string& text);
void UpperCase(char* text);

class ParameterLibrary {
 public:
  // Copies the arguments (argument 0 is the program name and is never searched). Arguments
  // of any length are kept whole. False for a vector that is missing or holds a null entry.
  [[nodiscard]] bool InitParameters(int count, const char* const* vector);
  // Releases the arguments; queries then find nothing. Always true.
  bool FreeParameters();

  // True when nothing follows the program name.
  bool NoArguments() const;
  // `name` is the option name without its slash ("VERBOSE"), in any case.
  bool HasOption(std::string_view name) const;
  bool HasValueOption(std::string_view name) const;
  // The text after "/NAME:" of the first argument that starts with it, as typed (possibly
  // empty); none when no argument does.
  std::optional<std::string> GetOptionValue(std::string_view name) const;
  // Whether an argument is exactly `word` ("--help"), compared as typed.
  bool HasWord(std::string_view word) const;
  // The arguments, in order, that start with none of the options named: a flag of `flags`
  // ("/NAME", prefix rule as above) or a value option of `values` ("/NAME:").
  std::vector<std::string> UnknownArguments(std::span<const std::string_view> flags,
                                            std::span<const std::string_view> values) const;

 private:
  // Index of the first argument after the program name that starts with `pattern`, or 0.
  size_t FindArgument(std::string_view pattern) const;

  std::vector<std::string> arguments_;
};

#endif  // DORVALEX_APP_OPTIONS_H_
