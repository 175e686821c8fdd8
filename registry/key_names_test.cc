// The name rules that no backend test reaches: names that hold a NUL.
#include "registry/key_names.h"

#include "gtest/gtest.h"

namespace {

TEST(KeyNamesTest, NamesHoldNoNul) {
  std::vector<std::string_view> levels;
  EXPECT_EQ(SplitSubkeyPath(std::string("A\0B", 3), &levels), kErrorInvalidParameter);
  EXPECT_EQ(CheckValueName(std::string("a\0", 2)), kErrorInvalidParameter);
}

}  // namespace
