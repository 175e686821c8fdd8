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

TEST(OptionsTest, TheProgramNameIsNoOption) {
  ParameterLibrary params;
  const char* argv[] = {"/REG:named-like-an-option", nullptr};
  EXPECT_FALSE(params.InitParameters(2, argv));  // a hole in the vector
  ASSERT_TRUE(params.InitParameters(1, argv));
  EXPECT_TRUE(params.NoArguments());
  EXPECT_EQ(params.GetOptionValue("REG"), std::nullopt);
}

TEST(OptionsTest, FlagMatchesOnlyAtTheStartOfAnArgument) {
  struct Case {
    std::vector<std::string> args;
    const char* name;
    bool found;
  };
  const Case cases[] = {
      {{"/verbose"}, "VERBOSE", true},
      {{"/VeRbOsE"}, "verbose", true},
      {{"/NOACTIONS"}, "NOACTION", true},  // a longer word still counts
      {{"VERBOSE"}, "VERBOSE", false},
      {{"/REG:/srv/noaction/a.txt"}, "NOACTION", false},
      {{"/BACKUP:/tmp/NOREVERSE/b.txt"}, "NOREVERSE", false},
      {{"/REGBACKUP"}, "BACKUP", false},
      {{"a", "b", "/overwrite"}, "OVERWRITE", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back() + " / " + c.name);
    EXPECT_EQ(Parse(c.args).HasOption(c.name), c.found);
  }
}

TEST(OptionsTest, ValueOptionNeedsItsColonAndKeepsItsValueAsTyped) {
  struct Case {
    std::string arg;
    std::optional<std::string> value;
  };
  const Case cases[] = {
      {"/reg:Dir/Script.TXT", "Dir/Script.TXT"},
      {"/REG:", ""},  // empty, not absent
      {"/REG:\"quoted\" value ", "\"quoted\" value "},
      {"/REG", std::nullopt},
      {"X/REG:A.REG", std::nullopt},
      {"/BACKUP:/x/REG:y", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    ParameterLibrary params = Parse({c.arg});
    EXPECT_EQ(params.HasValueOption("REG"), c.value.has_value());
    EXPECT_EQ(params.GetOptionValue("REG"), c.value);
  }
  // The earliest argument wins.
  ParameterLibrary params = Parse({"stray", "/REG:A.REG", "/reg:B.REG", "/MACHINE:"});
  EXPECT_EQ(params.GetOptionValue("REG"), "A.REG");
  EXPECT_EQ(params.GetOptionValue("MACHINE"), "");
}

TEST(OptionsTest, LongArgumentsStayWhole) {
  const std::string path = std::string(10000, 'p') + "Z";
  ParameterLibrary params = Parse({"/BACKUP:" + path, "/VERBOSE"});
  EXPECT_EQ(params.GetOptionValue("BACKUP"), path);
  EXPECT_TRUE(params.HasOption("VERBOSE"));
}

}  // namespace
