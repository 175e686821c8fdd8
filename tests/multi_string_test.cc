// The multi-string edits from the outside: a script of them applied to a store, its backout
// applied back, and the ways such a line stops a run.
#include <gtest/gtest.h>

#include <string>

#include "tests/blackbox.h"

namespace {

using namespace std::string_literals;

constexpr char kKey[] = "HKLM\\SOFTWARE\\Lists";
constexpr uint32_t kMulti = 7;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(MultiStringTest, BackoutOfTheEditsRestoresTheStore) {
  BlackBox box;
  box.SetValue(kKey, "list", kMulti, "a\0b\0c\0\0"s);
  box.SetValue(kKey, "paths", kMulti, "C:\\x\0\0"s);
  box.SetValue(kKey, "", kMulti, "one\0\0"s);
  box.SetString(kKey, "other", "left alone");
  const std::string before = box.DumpStore();
  box.WriteFile("EDITS.TXT",
                "DORVALEX\n"
                "UPDATE:[HKLM\\SOFTWARE\\Lists]\n"
                "REMOVE:\"list\"=\"c\"\n"
                "APPEND:\"list\"=\"d\"\n"
                "PREPEND:\"list\"=\"z\"\n"
                "REPLACE:\"list\"=\"a\",\"x,y\"\n"
                "REPLACE:\"paths\"=\"C:\\\\x\",\"D:\\\\new \\\"dir\\\"\"\n"
                "PREPEND:\"paths\"=Multi:\"q\\\"uote\"\n"
                "APPEND:@=\"two\"\n"
                "APPEND:\"fresh\"=\"one\"\n"
                "PREPEND:\"fresh2\"=\"two\"\n"
                "REMOVE:\"absent\"=\"x\"\n"
                "REPLACE:\"absent\"=\"x\",\"y\"\n");
  RunResult run = box.Run({"/REG:EDITS.TXT", "/BACKUP:UNDO.TXT"});
  ASSERT_EQ(run.exitCode, 0) << run.output;

  std::unique_ptr<RegistryService> store = box.OpenStore();
  KeyHandle key = kNoKey;
  ASSERT_EQ(store->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE\\Lists", &key), 0);
  auto value = [&](const char* name) {
    std::string data(256, '\0');
    uint32_t size = static_cast<uint32_t>(data.size());
    uint32_t type = 0;
    EXPECT_EQ(store->RegQueryValueExA(key, name, &type, reinterpret_cast<uint8_t*>(data.data()),
                                      &size),
              0)
        << name;
    EXPECT_EQ(type, kMulti) << name;
    data.resize(size);
    return data;
  };
  EXPECT_EQ(value("list"), "z\0x,y\0b\0d\0\0"s);
  EXPECT_EQ(value("paths"), "q\"uote\0D:\\new \"dir\"\0\0"s);
  EXPECT_EQ(value(""), "one\0two\0\0"s);
  EXPECT_EQ(value("fresh"), "one\0\0"s);
  EXPECT_EQ(value("fresh2"), "two\0\0\0"s);
  store->RegCloseKey(key);
  store.reset();

  RunResult undo = box.Run({"/REG:UNDO.TXT"});
  ASSERT_EQ(undo.exitCode, 0) << undo.output;
  EXPECT_EQ(box.DumpStore(), before);
}

TEST(MultiStringTest, AFailingEditStopsTheRun) {
  BlackBox box;
  box.SetString(kKey, "s", "text");
  box.SetValue(kKey, "list", kMulti, "a\0\0"s);
  const std::string before = box.DumpStore();
  box.WriteFile("EDITS.TXT",
                "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\Lists]\n"
                "APPEND:\"s\"=\"x\"\n"
                "APPEND:\"list\"=\"never\"\n");
  RunResult run = box.Run({"/REG:EDITS.TXT"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.output,
                       "***ERROR : APPEND: Value Exists but is not a REG_MULTI_SZ\n"
                       "***ERROR : [Line 3]:\"s\"=\"x\"\n\n"
                       "***ERROR : Fatal Error - Program Exit\n"))
      << run.output;
  EXPECT_EQ(box.DumpStore(), before);
}

TEST(MultiStringTest, RemoveAndReplaceUnderAMissingKeyCreateNothing) {
  BlackBox box;
  box.CreateKey("HKLM\\SOFTWARE");
  const std::string before = box.DumpStore();
  box.WriteFile("EDITS.TXT",
                "DORVALEX\n"
                "DELETE:[HKLM\\SOFTWARE\\Missing\\Deeper]\n"
                "REMOVE:\"v\"=\"x\"\n"
                "REPLACE:\"v\"=\"x\",\"y\"\n");
  RunResult run = box.Run({"/REG:EDITS.TXT", "/BACKUP:UNDO.TXT", "/NOREVERSE"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(box.DumpStore(), before);
  EXPECT_EQ(box.ReadFile("UNDO.TXT"), "DORVALEX\n");
}

}  // namespace
