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

TEST(OptionsTest, NothingAfterTheProgramNameFindsNothing) {
  const char* argv[] = {"/REG:named-like-an-option"};
  ParameterLibrary params;
  ASSERT_TRUE(params.InitParameters(1, argv));
  EXPECT_TRUE(params.NoArguments());
  EXPECT_FALSE(params.HasValueOption("REG"));
  EXPECT_FALSE(params.HasOption("REG"));
  EXPECT_EQ(params.GetOptionValue("REG"), std::nullopt);

  ParameterLibrary empty;
  ASSERT_TRUE(empty.InitParameters(0, nullptr));
  EXPECT_TRUE(empty.NoArguments());
  EXPECT_FALSE(Parse({"anything"}).NoArguments());
}

TEST(OptionsTest, MissingArgumentVectorIsRefused) {
  ParameterLibrary params;
  EXPECT_FALSE(params.InitParameters(2, nullptr));
  const char* withHole[] = {"dorvalex", nullptr};
  EXPECT_FALSE(params.InitParameters(2, withHole));
  EXPECT_FALSE(params.InitParameters(-1, withHole));
}

TEST(OptionsTest, FlagMatchesOnlyAtTheStartOfAnArgument) {
  struct Case {
    std::vector<std::string> args;
    const char* name;
    bool found;
  };
  const Case cases[] = {
      {{"/VERBOSE"}, "VERBOSE", true},
      {{"/verbose"}, "VERBOSE", true},
      {{"/VeRbOsE"}, "verbose", true},
      {{"/NOACTIONS"}, "NOACTION", true},  // a longer word still counts
      {{"/VERBOSE:YES"}, "VERBOSE", true},
      {{"VERBOSE"}, "VERBOSE", false},
      {{"-VERBOSE"}, "VERBOSE", false},
      {{"/VERBOS"}, "VERBOSE", false},
      {{" /VERBOSE"}, "VERBOSE", false},
      {{"/REG:/srv/noaction/a.txt"}, "NOACTION", false},
      {{"/REG:/home/x/regbackup/y"}, "REGBACKUP", false},
      {{"/BACKUP:/tmp/NOREVERSE/b.txt"}, "NOREVERSE", false},
      {{"/REGBACKUP"}, "BACKUP", false},
      {{"a", "b", "/overwrite"}, "OVERWRITE", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back() + " / " + c.name);
    EXPECT_EQ(Parse(c.args).HasOption(c.name), c.found);
  }
}

TEST(OptionsTest, ValueOptionNeedsItsColonAtTheStart) {
  struct Case {
    std::string arg;
    bool hasValue;
    std::optional<std::string> value;
  };
  const Case cases[] = {
      {"/REG:script.txt", true, "script.txt"},
      {"/reg:Dir/Script.TXT", true, "Dir/Script.TXT"},  // the value keeps its case
      {"/Reg:c:\\temp\\a.reg", true, "c:\\temp\\a.reg"},
      {"/REG:", true, ""},  // empty, not absent
      {"/REG:\"quoted\" value ", true, "\"quoted\" value "},
      {"/REG::x", true, ":x"},
      {"/REG", false, std::nullopt},
      {"/REGBACKUP", false, std::nullopt},
      {"X/REG:A.REG", false, std::nullopt},
      {"/BACKUP:/x/REG:y", false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    ParameterLibrary params = Parse({c.arg});
    EXPECT_EQ(params.HasValueOption("REG"), c.hasValue);
    EXPECT_EQ(params.GetOptionValue("REG"), c.value);
  }
}

TEST(OptionsTest, EarliestArgumentWinsAndOthersAreIgnored) {
  ParameterLibrary params =
      Parse({"stray", "/REG:A.REG", "/BACKUP:undo.txt", "/reg:B.REG", "/MACHINE:"});
  EXPECT_EQ(params.GetOptionValue("REG"), "A.REG");
  EXPECT_EQ(params.GetOptionValue("BACKUP"), "undo.txt");
  EXPECT_EQ(params.GetOptionValue("MACHINE"), "");
  EXPECT_FALSE(params.HasOption("REGBACKUP"));
  EXPECT_FALSE(params.HasValueOption("VERBOSE"));
}

TEST(OptionsTest, LongArgumentsStayWhole) {
  for (size_t length : {254u, 255u, 256u, 10000u}) {
    std::string path(length, 'p');
    path.back() = 'Z';
    ParameterLibrary params = Parse({"/BACKUP:" + path, "/VERBOSE"});
    EXPECT_EQ(params.GetOptionValue("BACKUP"), path);
    EXPECT_TRUE(params.HasOption("VERBOSE"));
  }
}

TEST(OptionsTest, FreedLibraryFindsNothing) {
  ParameterLibrary params = Parse({"/REG:x"});
  EXPECT_TRUE(params.FreeParameters());
  EXPECT_FALSE(params.HasValueOption("REG"));
  EXPECT_TRUE(params.NoArguments());
}

TEST(OptionsTest, UpperCaseChangesOnlyAsciiLetters) {
  std::string text = "abz AZ 09 @[`{ \xe4\xfc\x80 hkey_local_machine\\Soft";
  UpperCase(text);
  EXPECT_EQ(text, "ABZ AZ 09 @[`{ \xe4\xfc\x80 HKEY_LOCAL_MACHINE\\SOFT");
  char buffer[] = "mixed Case\x7f";
  UpperCase(buffer);
  EXPECT_STREQ(buffer, "MIXED CASE\x7f");
}

}  // namespace
