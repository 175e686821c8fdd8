// Export files from the outside: a version 5 export in UTF-16LE, the same text in UTF-8 with its
// mark and converted to REGEDIT4 give the same store, and the backout file undoes each run.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "tests/blackbox.h"

namespace {

// UTF-16LE with its mark of UTF-8 text whose characters all lie below U+10000.
std::string Utf16WithMark(std::string_view utf8) {
  std::string out = "\xFF\xFE";
  for (size_t i = 0; i < utf8.size();) {
    auto c = static_cast<unsigned char>(utf8[i]);
    const int length = c < 0x80 ? 1 : c < 0xE0 ? 2 : 3;
    uint32_t unit = length == 1 ? c : c & (length == 2 ? 0x1F : 0x0F);
    for (int k = 1; k < length; ++k) unit = unit << 6 | (utf8[i + k] & 0x3F);
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
    i += length;
  }
  return out;
}

// Non-ASCII names and data, escapes, comments after data, a wrapped byte list, hex(2) and
// hex(7) data (UTF-16LE in version 5, UTF-8 in REGEDIT4), deletions of a value, of a key
// with its subkeys and of a missing key; the value line under a deleted key is ignored.
std::string Export(const char* header, const char* path, const char* list, const char* a) {
  return std::string(header) +
         "\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X\\Exporté]\r\n"
         "\"Grüße\"=\"Straße – ü\" ; the comment\r\n"
         "\"Quote\"=\"a \\\"q\\\" \\\\ b;\"\t \r\n"
         "\"Count\"=dword:2a;c\r\n"
         "\"Path\"=hex(2):" + path + "\r\n"
         "\"List\"=hex(7):" + list + "\r\n"
         "\"NoNul\"=hex(1):" + a + "\r\n"
         "\"Blob\"=hex:00,01,\\\r\n  02 ; wrapped\r\n"
         "\"Gone\"=- ; deleted\r\n"
         "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\X\\Old]\r\n"
         "\"ignored\"=\"x\"\r\n"
         "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\X\\Missing]\r\n";
}

TEST(ExportFilesTest, Version5InUtf16AppliesAsItsOtherFormsAndItsBackoutUndoesIt) {
  const std::string version5 = Export("Windows Registry Editor Version 5.00  ",
                                      "25,00,c4,00,00,00", "6f,00,00,00,e9,00,00,00,00,00", "61,00");
  const struct {
    const char* name;
    std::string script;
  } forms[] = {
      {"UTF-16LE", Utf16WithMark(version5)},
      {"UTF-8 with its mark", "\xEF\xBB\xBF" + version5},
      {"REGEDIT4", Export("REGEDIT4", "25,c3,84,00", "6f,00,c3,a9,00,00", "61,00")},
  };
  std::string applied;
  for (const auto& form : forms) {
    SCOPED_TRACE(form.name);
    BlackBox box;
    box.SetString("HKLM\\SOFTWARE\\X\\Exporté", "Gone", "old");
    box.SetDword("HKLM\\SOFTWARE\\X\\Exporté", "Count", 1);
    box.SetString("HKLM\\SOFTWARE\\X\\Old\\ÄÖÜäöüßÄÖÜäöüß", "v", "w");  // twice its length in UTF-8
    const std::string before = box.DumpStore();
    box.WriteFile("in.reg", form.script);
    RunResult run = box.Run({"/REG:in.reg", "/BACKUP:undo.txt", "/VERBOSE"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output.substr(run.output.find("UPDATE : [3]")),
              "UPDATE : [3] Success - [HKEY_LOCAL_MACHINE\\SOFTWARE\\X\\Exporté]\n"
              "UPDATE : [4] Success - \"Grüße\"=\"Straße – ü\"\n"
              "UPDATE : [5] Success - \"Quote\"=\"a \"q\" \\ b;\"\n"
              "UPDATE : [6] Success - \"Count\"=dword:2a\n"
              "UPDATE : [7] Success - \"Path\"=hex(2):" + std::string(form.name[0] == 'R' ?
              "25,c3,84,00" : "25,00,c4,00,00,00") + "\n"
              "UPDATE : [8] Success - \"List\"=hex(7):" + (form.name[0] == 'R' ?
              "6f,00,c3,a9,00,00" : "6f,00,00,00,e9,00,00,00,00,00") + "\n"
              "UPDATE : [9] Success - \"NoNul\"=hex(1):61,00\n"
              "UPDATE : [10] Success - \"Blob\"=hex:00,01,02\n"
              "DELETE : [12] Success - \"Gone\"=-\n"
              "DELETE : [13] Success - [HKEY_LOCAL_MACHINE\\SOFTWARE\\X\\Old]\n"
              "***ERROR : Value of a deleted key - ignoring this line\n"
              "***ERROR : [Line 14]:\"ignored\"=\"x\"\n\n"
              "Parsing Backup File ...\nRewriting Backup File ...\nin.reg was applied.\n");
    const std::string after = box.DumpStore();
    if (applied.empty()) {
      applied = after;
      const size_t x = after.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]");
      EXPECT_EQ(after.substr(x, after.find("[HKEY_LOCAL_MACHINE\\SYSTEM]") - x),
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X\\Exporté]\n"
                "  \"Blob\"=3:000102\n  \"Count\"=4:2A000000\n"
                "  \"Grüße\"=1:\"Stra\\xC3\\x9Fe \\xE2\\x80\\x93 \\xC3\\xBC\\0\"\n"
                "  \"List\"=7:\"o\\0\\xC3\\xA9\\0\\0\"\n  \"NoNul\"=1:\"a\\0\"\n"
                "  \"Path\"=2:\"%\\xC3\\x84\\0\"\n  \"Quote\"=1:\"a \\\"q\\\" \\\\ b;\\0\"\n");
    }
    EXPECT_EQ(after, applied);
    EXPECT_EQ(box.Run({"/REG:undo.txt"}).exitCode, 0);
    EXPECT_EQ(box.DumpStore(), before);
  }
}

}  // namespace
