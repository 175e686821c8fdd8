// Enumeration through the rows a handle keeps: listings longer than one window, the key's
// information answered from them, and rows that must never outlive a change of the store.
#include "registry/backends/listing_prefetch.h"

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "registry/backends/sqlite_registry.h"

namespace {

struct Listing {
  std::vector<std::string> subkeys;
  std::vector<std::string> values;  // "name=data"
  bool operator==(const Listing&) const = default;
};

std::string Name(int i) {
  char name[16];
  snprintf(name, sizeof name, "N%04d", i);
  return name;
}

RegStatus Set(RegistryService& r, KeyHandle key, const std::string& name, const std::string& data) {
  return r.RegSetValueExA(key, name, 0, kRegBinary, reinterpret_cast<const uint8_t*>(data.data()),
                          static_cast<uint32_t>(data.size()));
}

// Reads index 0, 1, 2... as a walk does (ascending) or last-first (each index on its own).
Listing Enumerate(RegistryService& r, KeyHandle key, bool backwards = false) {
  Listing listing;
  char child[300];
  std::vector<char> name(300);
  std::vector<uint8_t> data(1 << 20);
  for (uint32_t i = 0; r.RegEnumKeyA(key, i, child, sizeof child) == kErrorSuccess; ++i)
    listing.subkeys.push_back(child);
  for (uint32_t i = 0;; ++i) {
    uint32_t nameSize = static_cast<uint32_t>(name.size());
    uint32_t dataSize = static_cast<uint32_t>(data.size());
    if (r.RegEnumValueA(key, i, name.data(), &nameSize, nullptr, data.data(), &dataSize) != 0)
      break;
    listing.values.push_back(std::string(name.data(), nameSize) + "=" +
                             std::string(reinterpret_cast<char*>(data.data()), dataSize));
  }
  if (!backwards) return listing;
  Listing reversed;
  for (size_t i = listing.subkeys.size(); i-- > 0;) {
    EXPECT_EQ(r.RegEnumKeyA(key, static_cast<uint32_t>(i), child, sizeof child), 0);
    reversed.subkeys.insert(reversed.subkeys.begin(), child);
  }
  for (size_t i = listing.values.size(); i-- > 0;) {
    uint32_t nameSize = static_cast<uint32_t>(name.size());
    uint32_t dataSize = static_cast<uint32_t>(data.size());
    EXPECT_EQ(r.RegEnumValueA(key, static_cast<uint32_t>(i), name.data(), &nameSize, nullptr,
                              data.data(), &dataSize), 0);
    reversed.values.insert(reversed.values.begin(),
                           std::string(name.data(), nameSize) + "=" +
                               std::string(reinterpret_cast<char*>(data.data()), dataSize));
  }
  return reversed;
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
  // Creates `subkeys` subkeys and `values` values under a new key; value i holds i + 1 bytes,
  // and value `big` (if any) more than a window holds.
  KeyHandle MakeKey(const std::string& path, int subkeys, int values, int big = -1) {
    KeyHandle key = kNoKey;
    EXPECT_EQ(r_->RegCreateKeyA(kHkeyLocalMachine, path, &key), 0);
    for (int i = subkeys - 1; i >= 0; --i) {  // created out of order: listed by name
      KeyHandle child = kNoKey;
      EXPECT_EQ(r_->RegCreateKeyA(key, Name(i), &child), 0);
      r_->RegCloseKey(child);
    }
    for (int i = 0; i < values; ++i) {
      EXPECT_EQ(Set(*r_, key, Name(i), std::string(i == big ? 300000 : i + 1, 'a' + i % 26)), 0);
    }
    return key;
  }

  std::string folder_;
  std::unique_ptr<RegistryService> r_;
};

TEST_F(ListingPrefetchTest, ListingsOfEverySizeReadAlikeInBothDirections) {
  struct Case {
    int subkeys, values, big;
  };
  // Around the first window (16), the largest (256), and a value larger than a window's bytes.
  for (const Case c : {Case{0, 0, -1}, Case{1, 1, -1}, Case{16, 16, -1}, Case{17, 17, -1},
                       Case{256, 256, -1}, Case{257, 300, 150}, Case{600, 600, 599}}) {
    SCOPED_TRACE(testing::Message() << c.subkeys << " subkeys, " << c.values << " values");
    const std::string path = "SOFTWARE\\S" + std::to_string(c.subkeys) + "V" +
                             std::to_string(c.values);
    KeyHandle key = MakeKey(path, c.subkeys, c.values, c.big);
    const Listing forwards = Enumerate(*r_, key);
    ASSERT_EQ(forwards.subkeys.size(), static_cast<size_t>(c.subkeys));
    ASSERT_EQ(forwards.values.size(), static_cast<size_t>(c.values));
    for (int i = 0; i < c.subkeys; ++i) EXPECT_EQ(forwards.subkeys[i], Name(i));
    for (int i = 0; i < c.values; ++i) EXPECT_EQ(forwards.values[i].substr(0, 6), Name(i) + "=");
    EXPECT_EQ(Enumerate(*r_, key, true), forwards);

    // The longest lengths, from a fresh handle (read as the first window) and afterwards.
    uint32_t expectedData = c.values == 0 ? 0 : c.big >= 0 ? 300000 : c.values;
    for (int round = 0; round < 2; ++round) {
      KeyHandle fresh = kNoKey;
      ASSERT_EQ(r_->RegOpenKeyA(kHkeyLocalMachine, path, &fresh), 0);
      if (round == 1) Enumerate(*r_, fresh);
      uint32_t subkey = 99, name = 99, data = 99;
      ASSERT_EQ(r_->RegQueryInfoKeyA(fresh, &subkey, &name, &data), 0);
      EXPECT_EQ(subkey, c.subkeys ? 5u : 0u);
      EXPECT_EQ(name, c.values ? 5u : 0u);
      EXPECT_EQ(data, expectedData);
      r_->RegCloseKey(fresh);
    }
    r_->RegCloseKey(key);
  }
}

TEST_F(ListingPrefetchTest, ChangesBetweenCallsAreSeenAtOnce) {
  KeyHandle key = MakeKey("SOFTWARE\\Changing", 40, 40);
  auto other = OpenSqliteRegistry(folder_ + "/store.db");
  KeyHandle otherKey = kNoKey;
  ASSERT_EQ(other->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE\\Changing", &otherKey), 0);
  char child[64];
  uint8_t data[64];
  char name[64];
  // Each change comes after the first rows were read, through this connection or another.
  const std::vector<std::function<void()>> changes = {
      [&] { EXPECT_EQ(Set(*r_, key, Name(3), "changed"), 0); },
      [&] { EXPECT_EQ(r_->RegDeleteValueA(key, Name(1)), 0); },
      [&] { EXPECT_EQ(r_->RegDeleteKeyA(key, Name(2)), 0); },
      [&] {
        KeyHandle made = kNoKey;
        EXPECT_EQ(r_->RegCreateKeyA(key, "A0", &made), 0);
        r_->RegCloseKey(made);
      },
      [&] { EXPECT_EQ(Set(*other, otherKey, Name(5), "other"), 0); },
      [&] { EXPECT_EQ(other->RegDeleteKeyA(otherKey, Name(4)), 0); },
      [&] { EXPECT_EQ(other->RegDeleteValueA(otherKey, Name(0)), 0); },
  };
  for (size_t i = 0; i < changes.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(r_->RegEnumKeyA(key, 0, child, sizeof child), 0);
    uint32_t nameSize = sizeof name, dataSize = sizeof data;
    ASSERT_EQ(r_->RegEnumValueA(key, 0, name, &nameSize, nullptr, data, &dataSize), 0);
    changes[i]();
    KeyHandle fresh = kNoKey;
    ASSERT_EQ(r_->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE\\Changing", &fresh), 0);
    EXPECT_EQ(Enumerate(*r_, key), Enumerate(*r_, fresh));
    r_->RegCloseKey(fresh);
  }
  other->RegCloseKey(otherKey);
}

// A walk learns from the listing of a key whether each child has children of its own; that
// must not hide a child created or removed afterwards.
TEST_F(ListingPrefetchTest, AChildListedWithoutChildrenGainsThemLater) {
  KeyHandle parent = MakeKey("SOFTWARE\\Parent", 3, 0);
  char child[64];
  ASSERT_EQ(r_->RegEnumKeyA(parent, 1, child, sizeof child), 0);
  KeyHandle leaf = kNoKey, grandchild = kNoKey;
  ASSERT_EQ(r_->RegOpenKeyA(parent, child, &leaf), 0);
  ASSERT_EQ(r_->RegCreateKeyA(leaf, "G", &grandchild), 0);
  uint32_t longest = 0;
  ASSERT_EQ(r_->RegQueryInfoKeyA(leaf, &longest, nullptr, nullptr), 0);
  EXPECT_EQ(longest, 1u);
  EXPECT_EQ(Enumerate(*r_, leaf).subkeys, std::vector<std::string>{"G"});

  // Through another connection, during and after a consistent read.
  KeyHandle last = kNoKey;
  ASSERT_EQ(r_->RegOpenKeyA(parent, Name(2), &last), 0);
  ASSERT_EQ(r_->RegEnumKeyA(parent, 2, child, sizeof child), 0);
  auto other = OpenSqliteRegistry(folder_ + "/store.db");
  KeyHandle otherLeaf = kNoKey;
  ASSERT_EQ(other->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Parent\\" + std::string(child) +
                                                        "\\H", &otherLeaf), 0);
  EXPECT_EQ(Enumerate(*r_, last).subkeys, std::vector<std::string>{"H"});
  ASSERT_EQ(r_->BeginConsistentRead(), 0);
  ASSERT_EQ(r_->RegEnumKeyA(parent, 2, child, sizeof child), 0);
  ASSERT_EQ(other->RegDeleteKeyA(kHkeyLocalMachine, "SOFTWARE\\Parent\\" + std::string(child) +
                                                        "\\H"), 0);
  EXPECT_EQ(Enumerate(*r_, last).subkeys, std::vector<std::string>{"H"});  // the view holds
  ASSERT_EQ(r_->EndConsistentRead(), 0);
  EXPECT_EQ(Enumerate(*r_, last).subkeys, std::vector<std::string>{});
}

// A recursive delete reads index 0 again after every deletion.
TEST_F(ListingPrefetchTest, IndexZeroAfterEachDeletion) {
  KeyHandle key = MakeKey("SOFTWARE\\Doomed", 50, 0);
  char child[64];
  int deleted = 0;
  while (r_->RegEnumKeyA(key, 0, child, sizeof child) == kErrorSuccess) {
    ASSERT_EQ(std::string(child), Name(deleted));
    ASSERT_EQ(r_->RegDeleteKeyA(key, child), 0);
    ++deleted;
  }
  EXPECT_EQ(deleted, 50);
}

// A buffer that is too small gives 234 and leaves the enumeration where it was.
TEST_F(ListingPrefetchTest, TooSmallBuffersKeepThePlace) {
  KeyHandle key = MakeKey("SOFTWARE\\Small", 20, 20);
  char child[8];
  char name[8];
  uint8_t data[8];
  for (uint32_t i = 0; i < 20; ++i) {
    ASSERT_EQ(r_->RegEnumKeyA(key, i, child, 5), kErrorMoreData);
    ASSERT_EQ(r_->RegEnumKeyA(key, i, child, sizeof child), 0);
    EXPECT_EQ(std::string(child), Name(i));
    uint32_t nameSize = sizeof name, dataSize = 0;
    ASSERT_EQ(r_->RegEnumValueA(key, i, name, &nameSize, nullptr, data, &dataSize),
              kErrorMoreData);
    EXPECT_EQ(dataSize, i + 1);
    nameSize = sizeof name;
    dataSize = sizeof data;
    if (i < 8) {
      ASSERT_EQ(r_->RegEnumValueA(key, i, name, &nameSize, nullptr, data, &dataSize), 0);
      EXPECT_EQ(std::string(name, nameSize), Name(i));
    }
  }
}

}  // namespace
