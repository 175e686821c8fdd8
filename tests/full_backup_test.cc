// The full backup from the outside: the two files and the progress line of a small store, and
// one consistent view of a store that another process keeps changing during the backup.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "tests/blackbox.h"

namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Deletes everything below `key`, so that a test starts from the bare roots rather than the
// keys a new store comes with.
void DeleteSubkeys(RegistryService& store, KeyHandle key) {
  char name[256];
  while (store.RegEnumKeyA(key, 0, name, sizeof name) == kErrorSuccess) {
    KeyHandle child = kNoKey;
    ASSERT_EQ(store.RegOpenKeyA(key, name, &child), 0);
    DeleteSubkeys(store, child);
    ASSERT_EQ(store.RegCloseKey(child), 0);
    ASSERT_EQ(store.RegDeleteKeyA(key, name), 0);
  }
}

TEST(FullBackupTest, BacksUpBothRootsAndEndsWithTheCompletionLine) {
  BlackBox box;
  {
    std::unique_ptr<RegistryService> store = box.OpenStore();
    DeleteSubkeys(*store, kHkeyLocalMachine);
    DeleteSubkeys(*store, kHkeyUsers);
  }
  box.SetString("HKLM\\SOFTWARE\\Vendor", "Path", "C:\\Program \"Files\"");
  box.SetDword("HKLM\\SOFTWARE\\Vendor\\Sub", "Count", 5);
  box.CreateKey("HKEY_USERS\\S-1-5-18");
  // /MACHINE: is ignored: the backup reads the local store.
  RunResult run = box.Run({"/REGBACKUP", "/MACHINE:FARAWAY"});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(EndsWith(run.output,
                       "Backing up HKEY_LOCAL_MACHINE registry key ...\n+\b|\b/\b-"
                       "\bBacking up HKEY_USERS registry key ...\n+\b\\"
                       "\bFull Backup Complete.\n"))
      << run.output;
  EXPECT_EQ(box.ReadFile("HKLM_backup.reg"),
            "DORVALEX\n"
            "\nUPDATE:[HKEY_LOCAL_MACHINE]\n"
            "\nUPDATE:[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
            "\nUPDATE:[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\n"
            "UPDATE:\"Path\"=\"C:\\\\Program \\\"Files\\\"\"\n"
            "\nUPDATE:[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Sub]\n"
            "UPDATE:\"Count\"=Dword:00000005\n");
  EXPECT_EQ(box.ReadFile("HKU_backup.reg"),
            "DORVALEX\n"
            "\nUPDATE:[HKEY_USERS]\n"
            "\nUPDATE:[HKEY_USERS\\S-1-5-18]\n");

  // A second backup needs /OVERWRITE and leaves the files alone without it.
  run = box.Run({"/REGBACKUP"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(EndsWith(run.output,
                       "***ERROR : HKLM_backup.reg exists, and /OVERWRITE was not specified\n"))
      << run.output;
  run = box.Run({"/REGBACKUP", "/OVERWRITE"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
}

// The writer's step i sets the counter under ...\A to i, then creates ...\Z\K<i>. At any
// moment the store holds counter c with c - 1 or c keys under Z. The backup reads A first,
// then a bulk of keys under M, then Z: a walk that saw the store change under it would find
// more keys under Z than its counter allows.
TEST(FullBackupTest, SeesOneStateOfAStoreThatAnotherProcessChanges) {
  BlackBox box;
  {
    std::unique_ptr<RegistryService> store = box.OpenStore();
    KeyHandle key = kNoKey;
    ASSERT_EQ(store->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\A", &key), 0);
    const uint32_t zero = 0;
    ASSERT_EQ(store->RegSetValueExA(key, "counter", 0, 4,
                                    reinterpret_cast<const uint8_t*>(&zero), 4),
              0);
    store->RegCloseKey(key);
    for (int i = 0; i < 3000; ++i) {
      ASSERT_EQ(store->RegCreateKeyA(kHkeyLocalMachine,
                                     "SOFTWARE\\M\\K" + std::to_string(i), &key),
                0);
      const std::string data(40, 'v');
      for (const char* name : {"one", "two", "three"}) {
        ASSERT_EQ(store->RegSetValueExA(key, name, 0, 3,
                                        reinterpret_cast<const uint8_t*>(data.data()), 40),
                  0);
      }
      store->RegCloseKey(key);
    }
  }
  constexpr int kSteps = 20000;
  std::string script = "DORVALEX\n";
  char line[160];
  for (int i = 1; i <= kSteps; ++i) {
    snprintf(line, sizeof line,
             "UPDATE:[HKLM\\SOFTWARE\\A]\nUPDATE:\"counter\"=Dword:%08x\n"
             "UPDATE:[HKLM\\SOFTWARE\\Z\\K%05d]\n",
             i, i);
    script += line;
  }
  box.WriteFile("WRITER.TXT", script);

  RunResult writerRun;
  std::thread writer([&] { writerRun = box.Run({"/REG:WRITER.TXT"}, {}, 300); });
  // Start the backup once the writer is well under way.
  auto counter = [&] {
    std::unique_ptr<RegistryService> store = box.OpenStore();
    KeyHandle key = kNoKey;
    uint32_t value = 0;
    uint32_t size = 4;
    uint32_t type = 0;
    if (store->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE\\A", &key) == 0) {
      store->RegQueryValueExA(key, "counter", &type, reinterpret_cast<uint8_t*>(&value), &size);
      store->RegCloseKey(key);
    }
    return value;
  };
  while (counter() < 200) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  RunResult backup = box.Run({"/REGBACKUP"});
  writer.join();
  ASSERT_EQ(writerRun.exitCode, 0) << writerRun.output;
  ASSERT_EQ(backup.exitCode, 0) << backup.output;

  const std::string text = *box.ReadFile("HKLM_backup.reg");
  const std::string counterRecord = "UPDATE:\"counter\"=Dword:";
  const size_t at = text.find(counterRecord);
  ASSERT_NE(at, std::string::npos);
  const unsigned long seen = std::stoul(text.substr(at + counterRecord.size(), 8), nullptr, 16);
  size_t keys = 0;
  for (size_t from = 0;
       (from = text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Z\\K", from)) != std::string::npos;
       ++from) {
    ++keys;
  }
  ASSERT_LT(seen, static_cast<unsigned long>(kSteps)) << "the writer ended before the backup";
  EXPECT_GE(seen, 200u);
  EXPECT_TRUE(keys == seen || keys + 1 == seen) << "counter " << seen << ", keys " << keys;
  size_t bulk = 0;
  for (size_t from = 0;
       (from = text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\M\\K", from)) != std::string::npos;
       ++from) {
    ++bulk;
  }
  EXPECT_EQ(bulk, 3000u);
}

}  // namespace
