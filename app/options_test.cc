// The command-line options: where an option word may stand, its prefix rule, values as typed.
#include "app/options.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

// A parameter library over "dorvalex" followed by `args`.
ParameterLibrary Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "dorvalex");
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  ParameterLibrary params;
  EXPECT_TRUE(params.InitParameters(static_cast<int>(argv.size()), argv.data()));
  return params;
}

// Flags match in any case at the start of an argument only; the other cases run in the
// black-box run control table.
TEST(OptionsTest, FlagMatchesOnlyAtTheStartOfAnArgument) {
  const std::pair<std::string, bool> cases[] = {
      {"/VeRbOsE", true}, {"/VERBOSEX", true}, {"/REG:/srv/verbose/a.txt", false}};
  for (const auto& [arg, found] : cases)
    EXPECT_EQ(Parse({"a", arg}).HasOption("verbose"), found) << arg;
}

TEST(OptionsTest, ValueOptionNeedsItsColonAndKeepsItsValueAsTyped) {
  const std::string longPath = std::string(10000, 'p') + "Z";
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"/reg:Dir/Script.TXT", "Dir/Script.TXT"},
      {"/REG:", ""},  // empty, not absent
      {"/REG:\"quoted\" value ", "\"quoted\" value "},
      {"/REG:" + longPath, longPath},
      {"/BACKUP:/x/REG:y", std::nullopt},
  };
  for (const auto& [arg, value] : cases) {
    ParameterLibrary params = Parse({arg});
    EXPECT_EQ(params.HasValueOption("REG"), value.has_value()) << arg;
    EXPECT_EQ(params.GetOptionValue("REG"), value) << arg;
  }
  // The earliest argument wins.
  ParameterLibrary params = Parse({"stray", "/REG:A.REG", "/reg:B.REG", "/MACHINE:"});
  EXPECT_EQ(params.GetOptionValue("REG"), "A.REG");
  EXPECT_EQ(params.GetOptionValue("MACHINE"), "");
}

}  // namespace
