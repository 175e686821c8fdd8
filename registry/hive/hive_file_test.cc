// The hive file against hivex's faults: what it writes must read back through hivex and
// libregf alike, and what hivex would write wrongly must be refused before anything is written.
#include "registry/hive/hive_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "gtest/gtest.h"
#include "registry/hive/hive_text.h"
#include "testing/hive_files.h"

namespace {

class HiveFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/dx-hive-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    path_ = folder_ + "/SOFTWARE";
  }
  void TearDown() override { std::system(("rm -rf '" + folder_ + "'").c_str()); }

  std::unique_ptr<HiveFile> Fresh(uint32_t minor = 3) {
    EXPECT_TRUE(dx_testing::WriteEmptyHive(path_, minor));
    return Reopen();
  }
  std::unique_ptr<HiveFile> Reopen() {
    std::unique_ptr<HiveFile> hive;
    EXPECT_EQ(HiveFile::Open(path_, &hive), kErrorSuccess);
    return hive;
  }
  int64_t FileSize() {
    struct stat info;
    return stat(path_.c_str(), &info) == 0 ? info.st_size : -1;
  }

  std::string folder_;
  std::string path_;
};

TEST_F(HiveFileTest, ChangesReadBackThroughHivexAndLibregf) {
  auto hive = Fresh();
  HiveFile::Node a = 0, b = 0, gone = 0;
  ASSERT_EQ(hive->CreateChild(HiveFile::kRoot, "Beta", &b), kErrorSuccess);
  ASSERT_EQ(hive->CreateChild(HiveFile::kRoot, "alpha", &a), kErrorSuccess);
  ASSERT_EQ(hive->CreateChild(a, "Gone", &gone), kErrorSuccess);
  EXPECT_EQ(hive->SetValue(a, "", kRegSz, std::string("caf\xC3\xA9\0", 6)), kErrorSuccess);
  EXPECT_EQ(hive->SetValue(a, "multi", kRegMultiSz, std::string("x\0y\0\0", 5)), kErrorSuccess);
  EXPECT_EQ(hive->SetValue(a, "Stra\xC3\x9F" "e", kRegDword, "\x01\x02\x03\x04"), kErrorSuccess);
  EXPECT_EQ(hive->SetValue(a, "MULTI", kRegBinary, "zzzzz"), kErrorSuccess);  // in place
  EXPECT_EQ(hive->SetValue(b, "big", kRegBinary, std::string(20000, 'b')), kErrorSuccess);
  EXPECT_EQ(hive->DeleteKey(gone), kErrorSuccess);
  ASSERT_EQ(hive->Save(), kErrorSuccess);

  hive = Reopen();
  ASSERT_EQ(hive->FindChild(HiveFile::kRoot, "ALPHA", &a), kErrorSuccess);
  EXPECT_EQ(hive->FindChild(a, "Gone", &gone), kErrorFileNotFound);
  const std::vector<HiveValue>* values = nullptr;
  ASSERT_EQ(hive->Values(a, &values), kErrorSuccess);
  ASSERT_EQ(values->size(), 3u);
  EXPECT_EQ((*values)[0].data, std::string("caf\xC3\xA9\0", 6));
  EXPECT_EQ((*values)[1].name, "multi");
  EXPECT_EQ((*values)[1].type, kRegBinary);
  EXPECT_EQ((*values)[2].name, "Stra\xC3\x9F" "e");
  const std::vector<HiveFile::Node>* children = nullptr;
  ASSERT_EQ(hive->Children(HiveFile::kRoot, &children), kErrorSuccess);
  ASSERT_EQ(children->size(), 2u);
  EXPECT_EQ(hive->Name((*children)[0]), "alpha");

  EXPECT_EQ(dx_testing::ReaderComplaints(path_), "");
  std::string exported = dx_testing::RegfExport(path_);
  EXPECT_NE(exported.find("Value: 2 Stra\xC3\x9F" "e"), std::string::npos) << exported;
  EXPECT_NE(exported.find("Data size: 20000"), std::string::npos) << exported;
  // Nothing but the hive is left in its folder.
  EXPECT_EQ(std::system(("test \"$(ls -A '" + folder_ + "')\" = SOFTWARE").c_str()), 0);
}

TEST_F(HiveFileTest, ManyCallsOnOneKeyWriteItsValueListOnce) {
  auto hive = Fresh();
  HiveFile::Node key = 0;
  ASSERT_EQ(hive->CreateChild(HiveFile::kRoot, "K", &key), kErrorSuccess);
  for (int i = 0; i < 3000; ++i) {
    ASSERT_EQ(hive->SetValue(key, "v" + std::to_string(i % 1000), kRegDword, "\1\0\0\0"),
              kErrorSuccess);
  }
  ASSERT_EQ(hive->Save(), kErrorSuccess);
  // 1,000 values of 32-byte cells and their 4 KiB list: a few bins, not megabytes.
  EXPECT_LT(FileSize(), 64 * 1024);
}

TEST_F(HiveFileTest, RefusesWhatHivexWouldWriteWrongly) {
  auto hive = Fresh(5);
  HiveFile::Node key = 0, child = 0;
  ASSERT_EQ(hive->CreateChild(HiveFile::kRoot, "K", &key), kErrorSuccess);
  const std::string longName(256, 'n');
  EXPECT_EQ(hive->CreateChild(key, longName, &child), kErrorInvalidParameter);
  EXPECT_EQ(hive->CreateChild(key, std::string(255, 'n'), &child), kErrorSuccess);
  EXPECT_EQ(hive->CreateChild(key, "caf\xC3\xA9", &child), kErrorNotSupported);
  EXPECT_EQ(hive->SetValue(key, std::string(16384, 'v'), kRegSz, ""), kErrorInvalidParameter);
  EXPECT_EQ(hive->SetValue(key, "bad\xE9", kRegSz, ""), kErrorInvalidParameter);
  // Format 1.5 keeps data past 16,344 bytes in big-data records, which hivex cannot write.
  EXPECT_EQ(hive->SetValue(key, "big", kRegBinary, std::string(kMaxCellData + 1, 'b')),
            kErrorNotSupported);
  EXPECT_EQ(hive->SetValue(key, "fits", kRegBinary, std::string(kMaxCellData, 'b')),
            kErrorSuccess);
  EXPECT_EQ(hive->DeleteKey(key), kErrorAccessDenied);
  ASSERT_EQ(hive->Save(), kErrorSuccess);
  EXPECT_EQ(dx_testing::ReaderComplaints(path_), "");
}

TEST_F(HiveFileTest, RollbacksUndoHeldChangesExactly) {
  auto hive = Fresh();
  HiveFile::Node key = 0, child = 0, old = 0;
  ASSERT_EQ(hive->CreateChild(HiveFile::kRoot, "K", &key), kErrorSuccess);
  ASSERT_EQ(hive->CreateChild(key, "Old", &old), kErrorSuccess);
  ASSERT_EQ(hive->SetValue(key, "a", kRegSz, std::string("1\0", 2)), kErrorSuccess);
  ASSERT_EQ(hive->SetValue(key, "b", kRegDword, "\2\0\0\0"), kErrorSuccess);
  ASSERT_EQ(hive->Save(), kErrorSuccess);
  const std::string saved = dx_testing::RegfExport(path_);
  const auto text = [&] {
    const std::vector<HiveValue>* values = nullptr;
    const std::vector<HiveFile::Node>* children = nullptr;
    EXPECT_EQ(hive->Values(key, &values), kErrorSuccess);
    EXPECT_EQ(hive->Children(key, &children), kErrorSuccess);
    std::string all;
    for (const HiveValue& v : *values) all += v.name + "=" + v.data + ";";
    for (HiveFile::Node n : *children) all += "[" + hive->Name(n) + "]";
    return all;
  };
  const std::string before = text();
  for (bool toMark : {true, false}) {
    if (toMark) hive->Mark();
    EXPECT_EQ(hive->SetValue(key, "A", kRegSz, std::string("2\0", 2)), kErrorSuccess);
    EXPECT_EQ(hive->DeleteValue(key, "b"), kErrorSuccess);
    EXPECT_EQ(hive->SetValue(key, "c", kRegBinary, "x"), kErrorSuccess);
    EXPECT_EQ(hive->CreateChild(key, "New", &child), kErrorSuccess);
    EXPECT_EQ(hive->DeleteKey(old), kErrorSuccess);
    EXPECT_NE(text(), before);
    if (toMark) hive->RollbackToMark(); else hive->Rollback();
    EXPECT_EQ(text(), before);
    EXPECT_FALSE(hive->changed());
  }
  ASSERT_EQ(hive->FindChild(key, "old", &old), kErrorSuccess);
  EXPECT_EQ(hive->SetValue(key, "d", kRegSz, ""), kErrorSuccess);  // later changes still save
  ASSERT_EQ(hive->Save(), kErrorSuccess);
  EXPECT_NE(dx_testing::RegfExport(path_), saved);
  EXPECT_EQ(dx_testing::ReaderComplaints(path_), "");
}

TEST_F(HiveFileTest, BigDataValuesSurviveChangesAroundThem) {
  ASSERT_TRUE(dx_testing::WriteEmptyHive(path_, 5, 40000));
  std::string big;
  for (uint32_t i = 0; i < 40000; ++i) big.push_back(static_cast<char>(i % 251));
  for (int pass = 0; pass < 2; ++pass) {  // as written by hand, then after a save
    auto hive = Reopen();
    const std::vector<HiveValue>* values = nullptr;
    ASSERT_EQ(hive->Values(HiveFile::kRoot, &values), kErrorSuccess);
    ASSERT_EQ(values->size(), 1u);
    EXPECT_TRUE((*values)[0].data == big);
    EXPECT_EQ(dx_testing::ReaderComplaints(path_), "");
    // Hivex would write the big value of the key back as one plain cell.
    EXPECT_EQ(hive->SetValue(HiveFile::kRoot, "x", kRegDword, "\1\0\0\0"), kErrorNotSupported);
    EXPECT_EQ(hive->DeleteValue(HiveFile::kRoot, "Big"), kErrorNotSupported);
    HiveFile::Node key = 0;
    ASSERT_EQ(hive->CreateChild(HiveFile::kRoot, "K" + std::to_string(pass), &key), 0);
    ASSERT_EQ(hive->SetValue(key, "v", kRegDword, "\1\0\0\0"), kErrorSuccess);
    ASSERT_EQ(hive->Save(), kErrorSuccess);
  }
  EXPECT_NE(dx_testing::RegfExport(path_).find("Data size: 40000"), std::string::npos);
}

TEST_F(HiveFileTest, DirtyHiveIsReadNeverChanged) {
  auto hive = Fresh();
  HiveFile::Node key = 0;
  ASSERT_EQ(hive->CreateChild(HiveFile::kRoot, "K", &key), kErrorSuccess);
  ASSERT_EQ(hive->SetValue(key, "v", kRegSz, std::string("x\0", 2)), kErrorSuccess);
  ASSERT_EQ(hive->Save(), kErrorSuccess);
  hive.reset();
  for (bool fixChecksum : {true, false}) {  // sequence numbers differ; then a wrong checksum
    std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
    char block[0x200];
    file.read(block, sizeof block);
    block[4] = '\x7F';
    uint32_t checksum = 0;
    for (size_t at = 0; at < 0x1FC; at += 4) checksum ^= *reinterpret_cast<uint32_t*>(block + at);
    if (!fixChecksum) ++checksum;
    std::memcpy(block + 0x1FC, &checksum, 4);
    file.seekp(0);
    file.write(block, sizeof block);
    file.close();
    hive = Reopen();
    ASSERT_TRUE(hive);
    EXPECT_TRUE(hive->dirty());
    ASSERT_EQ(hive->FindChild(HiveFile::kRoot, "k", &key), kErrorSuccess);
    const std::vector<HiveValue>* values = nullptr;
    ASSERT_EQ(hive->Values(key, &values), kErrorSuccess);
    EXPECT_EQ(values->size(), 1u);
    EXPECT_EQ(hive->SetValue(key, "w", kRegSz, ""), kErrorBadDb);
    EXPECT_EQ(hive->CreateChild(key, "new", &key), kErrorBadDb);
  }
}

}  // namespace
