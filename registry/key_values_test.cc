// The held values of a key: every value is found by its folded name with its own data, whatever
// was erased, replaced (in place or grown) and compacted meanwhile.
#include "registry/key_values.h"

#include <map>
#include <string>

#include "gtest/gtest.h"

namespace {

TEST(KeyValuesTest, ValuesAreFoundThroughErasesReplacementsAndCompaction) {
  KeyValues values;
  values.Hold(7);
  std::map<std::string, std::pair<int64_t, std::string>> expected;  // by fold: id, data
  auto put = [&](const std::string& fold, int64_t id, const std::string& data) {
    values.Put(fold, id, 1, data);
    expected[fold] = {id, data};
  };
  for (int i = 0; i < 1000; ++i) put("V" + std::to_string(i), i, "d" + std::to_string(i));
  for (int i = 0; i < 1000; i += 3) {
    values.Erase("V" + std::to_string(i));
    expected.erase("V" + std::to_string(i));
  }
  for (int round = 0; round < 40; ++round) {  // grown data goes to the buffer's end
    for (int i = 1; i < 1000; i += 5) {
      const std::string fold = "V" + std::to_string(i);
      if (!expected.count(fold)) continue;
      const std::string data(round % 2 ? 3 : 50 + round, 'a' + round % 26);
      values.Replace(fold, 1, data);
      expected[fold].second = data;
    }
  }
  for (int i = 0; i < 1000; i += 6) put("V" + std::to_string(i), 5000 + i, "again");
  ASSERT_TRUE(values.Holds(7));
  for (int i = 0; i < 1100; ++i) {
    const std::string fold = "V" + std::to_string(i);
    KeyValues::Value found;
    auto want = expected.find(fold);
    ASSERT_EQ(values.Find(fold, &found), want != expected.end()) << fold;
    if (want == expected.end()) continue;
    EXPECT_EQ(found.id, want->second.first) << fold;
    EXPECT_EQ(found.data, want->second.second) << fold;
  }
  for (size_t i = 0; i <= KeyValues::kMaxValues; ++i) values.Put("W" + std::to_string(i), 1, 1, "");
  EXPECT_FALSE(values.Holds(7));
  EXPECT_TRUE(values.TooLarge(7));
}

}  // namespace
