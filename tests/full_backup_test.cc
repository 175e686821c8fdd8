// The full backup from the outside: one consistent view of a store that another process keeps
// changing during the backup.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "tests/blackbox.h"

namespace {

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; ++at) ++count;
  return count;
}

// The writer's step i sets the counter under ...\A to i, then creates ...\Z\K<i>. At any
// moment the store holds counter c with c - 1 or c keys under Z. The backup reads A first,
// then a bulk of keys under M, then Z: a walk that saw the store change under it would find
// more keys under Z than its counter allows.
TEST(FullBackupTest, SeesOneStateOfAStoreThatAnotherProcessChanges) {
  BlackBox box;
  std::string bulk = "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\A]\nUPDATE:\"counter\"=Dword:00000000\n";
  const std::string data = "\"=\"" + std::string(40, 'v') + "\"\n";
  for (int i = 0; i < 3000; ++i) {
    bulk += "UPDATE:[HKLM\\SOFTWARE\\M\\K" + std::to_string(i) + "]\nUPDATE:\"one" + data +
            "UPDATE:\"two" + data + "UPDATE:\"three" + data;
  }
  box.WriteFile("BULK.TXT", bulk);
  ASSERT_EQ(box.Run({"/REG:BULK.TXT"}).exitCode, 0);
  constexpr int kSteps = 20000;
  std::string script = "DORVALEX\n";
  for (int i = 1; i <= kSteps; ++i) {
    char line[160];
    snprintf(line, sizeof line, "UPDATE:[HKLM\\SOFTWARE\\A]\nUPDATE:\"counter\"=Dword:%08x\n"
             "UPDATE:[HKLM\\SOFTWARE\\Z\\K%05d]\n", i, i);
    script += line;
  }
  box.WriteFile("WRITER.TXT", script);

  RunResult writerRun;
  std::thread writer([&] { writerRun = box.Run({"/REG:WRITER.TXT"}, {}, 300); });
  // Start the backup once the writer is well under way.
  for (uint32_t counter = 0, size = 4, type = 0; counter < 200; size = 4) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::unique_ptr<RegistryService> store = box.OpenStore();
    KeyHandle key = kNoKey;
    if (store->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE\\A", &key) != 0) continue;
    store->RegQueryValueExA(key, "counter", &type, reinterpret_cast<uint8_t*>(&counter), &size);
    store->RegCloseKey(key);
  }
  // /MACHINE: is ignored: the backup reads the local store.
  RunResult backup = box.Run({"/REGBACKUP", "/MACHINE:FARAWAY"});
  writer.join();
  ASSERT_EQ(writerRun.exitCode, 0) << writerRun.output;
  ASSERT_EQ(backup.exitCode, 0) << backup.output;
  EXPECT_TRUE(backup.output.ends_with("\bFull Backup Complete.\n")) << backup.output;

  const std::string text = box.ReadFile("HKLM_backup.reg").value_or("");
  const size_t at = text.find("UPDATE:\"counter\"=Dword:");
  ASSERT_NE(at, std::string::npos);
  const size_t seen = std::stoul(text.substr(at + 24, 8), nullptr, 16);
  const size_t keys = Count(text, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Z\\K");
  ASSERT_LT(seen, static_cast<size_t>(kSteps)) << "the writer ended before the backup";
  EXPECT_TRUE(keys == seen || keys + 1 == seen) << "counter " << seen << ", keys " << keys;
  EXPECT_EQ(Count(text, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\M\\K"), 3000u);
}

}  // namespace
