// Enumeration through the rows a handle keeps: listings around the window sizes (16, 256), the
// key's information answered from them, and rows that must never outlive a change of the store.
#include "registry/listing_prefetch.h"

#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "registry/sqlite/sqlite_registry.h"

namespace {

using Rows = std::vector<std::string>;

std::string Name(int i) {
  char name[16];
  snprintf(name, sizeof name, "N%04d", i);
  return name;
}

RegStatus Set(RegistryService& r, KeyHandle key, const std::string& name, const std::string& data) {
  return r.RegSetValueExA(key, name, 0, kRegBinary, reinterpret_cast<const uint8_t*>(data.data()),
                          static_cast<uint32_t>(data.size()));
}

// Subkey i ("name") or value i ("name=data"); "" past the end. Each is asked for first with a
// buffer too small for any name (subkeys) or data (values), which must leave the place.
std::string Row(RegistryService& r, KeyHandle key, bool value, uint32_t i) {
  static std::vector<uint8_t> data(1 << 20);
  char name[300];
  uint32_t nameSize = sizeof name, dataSize = 0;
  const RegStatus small = value ? r.RegEnumValueA(key, i, name, &nameSize, nullptr, data.data(),
                                                  &dataSize)
                                : r.RegEnumKeyA(key, i, name, 1);
  std::string row;
  nameSize = sizeof name;
  dataSize = static_cast<uint32_t>(data.size());
  if (!value && r.RegEnumKeyA(key, i, name, sizeof name) == 0) row = name;
  if (value && r.RegEnumValueA(key, i, name, &nameSize, nullptr, data.data(), &dataSize) == 0)
    row = std::string(name, nameSize) + "=" + std::string(data.begin(), data.begin() + dataSize);
  EXPECT_EQ(small, row.empty() ? kErrorNoMoreItems : kErrorMoreData) << row;
  return row;
}

// The information query's longest subkey name, value name and data.
std::string Info(RegistryService& r, KeyHandle key) {
  uint32_t n[3] = {};
  EXPECT_EQ(r.RegQueryInfoKeyA(key, &n[0], &n[1], &n[2]), 0);
  return std::to_string(n[0]) + "/" + std::to_string(n[1]) + "/" + std::to_string(n[2]);
}

// The subkeys, the values (read index 0, 1, 2... as a walk does; `backwards` reads them again
// last-first, each index on its own), then the information.
Rows Enumerate(RegistryService& r, KeyHandle key, bool backwards = false) {
  Rows all;
  for (bool value : {false, true}) {
    Rows rows;
    for (uint32_t i = 0; !rows.emplace_back(Row(r, key, value, i)).empty(); ++i) {}
    rows.pop_back();
    for (size_t i = rows.size(); backwards && i-- > 0;)
      rows[i] = Row(r, key, value, static_cast<uint32_t>(i));
    all.insert(all.end(), rows.begin(), rows.end());
    all.push_back("--");
  }
  all.push_back(Info(r, key));
  return all;
}

class ListingPrefetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/dx-listing-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    r_ = OpenSqliteRegistry(folder_ + "/store.db");
  }
  void TearDown() override {
    r_.reset();
    std::filesystem::remove_all(folder_);
  }
  // Subkeys and values under a new key; value i holds i + 1 bytes, value `big` (if any) more
  // than a window holds. expected_ gets what Enumerate must give for it.
  KeyHandle MakeKey(const std::string& path, int subkeys, int values, int big = -1) {
    KeyHandle key = kNoKey, child = kNoKey;
    EXPECT_EQ(r_->RegCreateKeyA(kHkeyLocalMachine, path, &key), 0);
    for (int i = subkeys - 1; i >= 0; --i) {  // created out of order: listed by name
      EXPECT_EQ(r_->RegCreateKeyA(key, Name(i), &child), 0);
      r_->RegCloseKey(child);
    }
    expected_.clear();
    for (int i = 0; i < subkeys; ++i) expected_.push_back(Name(i));
    expected_.push_back("--");
    for (int i = 0; i < values; ++i) {
      const std::string data(i == big ? 300000 : i + 1, 'a' + i % 26);
      EXPECT_EQ(Set(*r_, key, Name(i), data), 0);
      expected_.push_back(Name(i) + "=" + data);
    }
    expected_.push_back("--");
    expected_.push_back(std::to_string(subkeys ? 5 : 0) + "/" + std::to_string(values ? 5 : 0) +
                        "/" + std::to_string(big >= 0 ? 300000 : values));
    return key;
  }

  std::string folder_;
  std::unique_ptr<RegistryService> r_;
  Rows expected_;
};

TEST_F(ListingPrefetchTest, ListingsOfEverySizeReadAlikeInBothDirections) {
  struct Case {
    int subkeys, values, big;
  } cases[] = {{0, 0, -1}, {16, 16, -1}, {17, 17, -1}, {256, 256, -1}, {257, 300, 150},
               {17, 600, 599}};
  // Around the first window (16) and the largest (256); a value larger than a window within
  // the first window and past it.
  for (const Case c : cases) {
    SCOPED_TRACE(testing::Message() << c.subkeys << " subkeys, " << c.values << " values");
    const std::string path = "SOFTWARE\\S" + std::to_string(c.subkeys * 1000 + c.values);
    KeyHandle key = MakeKey(path, c.subkeys, c.values, c.big);
    KeyHandle fresh = kNoKey;  // its information read as the first window
    ASSERT_EQ(r_->RegOpenKeyA(kHkeyLocalMachine, path, &fresh), 0);
    EXPECT_EQ(Info(*r_, fresh), expected_.back());
    EXPECT_EQ(Enumerate(*r_, key), expected_);
    EXPECT_EQ(Enumerate(*r_, key, true), expected_);
    // The values in one listing are the same rows; a visit that declines stops it.
    Rows listed;
    auto visit = [&](std::string_view name, uint32_t, std::string_view data) {
      listed.push_back(std::string(name) + "=" + std::string(data));
      return listed.size() != 1000;
    };
    EXPECT_EQ(r_->ListValues(key, visit), 0);
    EXPECT_EQ(listed, Rows(expected_.begin() + c.subkeys + 1, expected_.end() - 2));
    listed.resize(999);
    EXPECT_EQ(r_->ListValues(key, visit), 0);
    EXPECT_EQ(listed.size(), c.values ? 1000u : 999u);
    r_->RegCloseKey(fresh);
    r_->RegCloseKey(key);
  }
}

// A change through this connection or another, after the first rows of both listings were read.
TEST_F(ListingPrefetchTest, ChangesBetweenCallsAreSeenAtOnce) {
  KeyHandle key = MakeKey("SOFTWARE\\Changing", 40, 40), made = kNoKey, otherKey = kNoKey;
  auto other = OpenSqliteRegistry(folder_ + "/store.db");
  ASSERT_EQ(other->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE\\Changing", &otherKey), 0);
  const std::vector<std::function<RegStatus()>> changes = {
      [&] { return Set(*r_, key, Name(3), "changed"); },
      [&] { return r_->RegDeleteKeyA(key, Name(0)); },
      [&] { return r_->RegCreateKeyA(key, "A0", &made); },
      [&] { return Set(*other, otherKey, Name(5), "other"); },
      [&] { return other->RegDeleteKeyA(otherKey, Name(4)); },
      [&] { return other->RegDeleteValueA(otherKey, Name(0)); },
  };
  for (size_t i = 0; i < changes.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_FALSE(Row(*r_, key, true, 20).empty());
    ASSERT_FALSE(Row(*r_, key, false, 20).empty());
    ASSERT_EQ(changes[i](), 0);
    auto fresh = OpenSqliteRegistry(folder_ + "/store.db");
    KeyHandle freshKey = kNoKey;
    ASSERT_EQ(fresh->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE\\Changing", &freshKey), 0);
    EXPECT_EQ(Enumerate(*r_, key), Enumerate(*fresh, freshKey));
  }
}

}  // namespace
