// The name rules: folding for comparison and the splitting of subkey paths.
#include "registry/key_names.h"

#include "gtest/gtest.h"

namespace {

TEST(KeyNamesTest, FoldingTouchesOnlyAsciiLetters) {
  EXPECT_EQ(FoldName("Software\\ab_z{}@`"), "SOFTWARE\\AB_Z{}@`");
  EXPECT_EQ(FoldName("\xe4\xc4\xff"), "\xe4\xc4\xff");
  EXPECT_EQ(FoldName(std::string_view("a\0b", 3)), std::string_view("A\0B", 3));
}

TEST(KeyNamesTest, SubkeyPathsSplitIntoLevels) {
  const std::string longest(255, 'x');
  struct Row {
    std::string path;
    RegStatus status;
    std::vector<std::string_view> levels;
  } rows[] = {
      {"", kErrorSuccess, {}},
      {"A", kErrorSuccess, {"A"}},
      {"A\\b c\\D", kErrorSuccess, {"A", "b c", "D"}},
      {longest, kErrorSuccess, {longest}},
      {std::string(256, 'x'), kErrorInvalidParameter, {}},
      {"A\\\\B", kErrorInvalidParameter, {}},
      {"A\\", kErrorInvalidParameter, {}},
      {"\\A", kErrorInvalidParameter, {}},
      {"\\", kErrorInvalidParameter, {}},
      {std::string("A\0B", 3), kErrorInvalidParameter, {}},
  };
  for (const Row& row : rows) {
    std::vector<std::string_view> levels;
    EXPECT_EQ(SplitSubkeyPath(row.path, &levels), row.status) << row.path;
    if (row.status == kErrorSuccess) {
      EXPECT_EQ(levels, row.levels) << row.path;
    }
  }
}

TEST(KeyNamesTest, ValueNamesUpToTheLimit) {
  EXPECT_EQ(CheckValueName(""), kErrorSuccess);
  EXPECT_EQ(CheckValueName(std::string(16383, 'v')), kErrorSuccess);
  EXPECT_EQ(CheckValueName(std::string(16384, 'v')), kErrorInvalidParameter);
  EXPECT_EQ(CheckValueName(std::string("a\0", 2)), kErrorInvalidParameter);
}

}  // namespace
