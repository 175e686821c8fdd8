// FindFirstOf against a plain search, from every start, across its 16- and 8-byte blocks.
#include "script/byte_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

TEST(ByteScanTest, FindsTheFirstStopFromEveryStart) {
  // Stops early, late, in the last bytes, next to bytes one bit away, and none at all.
  std::string lines[] = {"", "\"", "ab", "abcdefgh;ij\\", std::string(40, 'x') + "\"=",
                         std::string(17, '\x80') + ";", std::string(33, 'y'),
                         "\x01\"#;<\\]" + std::string(30, '=') + "\x5d\x5c"};
  for (const std::string& line : lines) {
    for (size_t from = 0; from <= line.size(); ++from) {
      SCOPED_TRACE(line + " from " + std::to_string(from));
      size_t expected = std::min(line.find_first_of("\\\";", from), line.size());
      EXPECT_EQ((FindFirstOf<'\\', '"', ';'>(line.data(), from, line.size())), expected);
    }
  }
}
