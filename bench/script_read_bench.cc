// Reading speed of export files: the same version 5 export text as a UTF-16LE file (100 MB by
// default) and as UTF-8, each read through the script reader and the export parser with
// handlers that apply nothing. Prints the best of seven reads of each (processor time, which a
// machine busy with other work disturbs less than wall time) and their ratio.
//   script_read_bench [megabytes of the UTF-16 file] [scratch folder]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

#include "report/report.h"
#include "script/operation_handlers.h"
#include "script/script_reader.h"
#include "script/script_state.h"

namespace {

class NoChanges final : public OperationHandlers {
 public:
  bool UpdateKey(std::string_view) override { return true; }
  bool UpdateValue(std::string_view) override { return true; }
  bool DeleteKey(std::string_view) override { return true; }
  bool DeleteValue(std::string_view) override { return true; }
  bool AppendString(std::string_view) override { return true; }
  bool PrependString(std::string_view) override { return true; }
  bool RemoveString(std::string_view) override { return true; }
  bool ReplaceString(std::string_view) override { return true; }
};

// UTF-16LE of UTF-8 text made of characters below U+10000.
std::string Utf16Of(std::string_view text) {
  std::string out = "\xFF\xFE";
  out.reserve(text.size() * 2 + 2);
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    uint32_t unit = c;
    size_t length = 1;
    if (c >= 0xE0) {
      unit = (c & 0x0F) << 12 | (text[i + 1] & 0x3F) << 6 | (text[i + 2] & 0x3F);
      length = 3;
    } else if (c >= 0xC0) {
      unit = (c & 0x1F) << 6 | (text[i + 1] & 0x3F);
      length = 2;
    }
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
    i += length;
  }
  return out;
}

void WriteWhole(const std::string& path, const std::string& data) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(data.data(), 1, data.size(), file) != data.size() ||
      std::fclose(file) != 0) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

double ReadSeconds(const std::string& path) {
  ScriptState state;
  state.currentKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench";  // the handlers set none
  NoChanges handlers;
  std::clock_t start = std::clock();
  if (!ReadScriptFile(path, state, handlers)) std::exit(1);
  return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

}  // namespace

int main(int argc, char** argv) {
  const double megabytes = argc > 1 ? std::atof(argv[1]) : 100;
  const std::string folder = argc > 2 ? argv[2] : "/tmp";
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
  // Each UTF-8 lead byte (every byte but 10xxxxxx) starts one UTF-16 unit of two bytes.
  size_t utf16Size = 2;
  auto add = [&](const std::string& piece) {
    text += piece;
    for (char c : piece) utf16Size += (static_cast<unsigned char>(c) & 0xC0) == 0x80 ? 0 : 2;
  };
  for (long i = 0; utf16Size < megabytes * 1e6; ++i) {
    if (i % 100 == 0) add(FormatText("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench\\Schlüssel %ld]\r\n", i));
    add(FormatText("\"Wert %ld\"=\"Grüße aus der Straße \\\"%ld\\\"\" ; comment\r\n", i, i));
    add(FormatText("\"Path %ld\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,5c,00,\\\r\n"
                   "  61,00,00,00\r\n\"Count %ld\"=dword:%08lx\r\n", i, i, i));
  }
  const std::string utf16 = Utf16Of(text);
  const std::string utf8Path = folder + "/read_bench_utf8.reg";
  const std::string utf16Path = folder + "/read_bench_utf16.reg";
  WriteWhole(utf8Path, text);
  WriteWhole(utf16Path, utf16);
  // Taken in turns, so that a busy machine slows both alike.
  double utf8Seconds = 1e9, utf16Seconds = 1e9;
  for (int round = 0; round < 7; ++round) {
    utf8Seconds = std::min(utf8Seconds, ReadSeconds(utf8Path));
    utf16Seconds = std::min(utf16Seconds, ReadSeconds(utf16Path));
  }
  std::printf("UTF-8:    %7.1f MB in %.3f s (%.0f MB/s)\n", text.size() / 1e6, utf8Seconds,
              text.size() / 1e6 / utf8Seconds);
  std::printf("UTF-16LE: %7.1f MB in %.3f s (%.0f MB/s)\n", utf16.size() / 1e6, utf16Seconds,
              utf16.size() / 1e6 / utf16Seconds);
  std::printf("UTF-16LE / UTF-8 time: %.2f (target at most 1.5)\n", utf16Seconds / utf8Seconds);
  std::remove(utf8Path.c_str());
  std::remove(utf16Path.c_str());
  return 0;
}
