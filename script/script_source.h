// The bytes of a script file as the parsers see them: buffered reading, CR LF folded to "\n",
// Ctrl-Z as the end of the file, the header-word search and the assembly of logical lines.
#ifndef DORVALEX_SCRIPT_SCRIPT_SOURCE_H_
#define DORVALEX_SCRIPT_SCRIPT_SOURCE_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

class ScriptSource {
 public:
  enum class Header { kNative, kRegedit4, kNone };

  // Reads `file` from its current position; the caller keeps ownership of it.
  explicit ScriptSource(std::FILE* file);

  // Skips whitespace-delimited words until a header word. Reading then continues directly
  // after it. kNone at the end of the file.
  Header FindHeaderWord();

  // The next logical line: continuation lines joined, always ending with "\n" (NUL bytes are
  // ordinary bytes of the line). Memory grows with the longest logical line only.
  void ReadLogicalLine(std::string* line);

  // The end of the file has been seen: no further logical line follows.
  bool AtEnd() const { return eof_ && pushback_ < 0; }
  // The file could not be read to its end.
  bool ReadFailed() const { return error_; }
  // The physical line (1-based) on which the last logical line starts.
  int32_t lineStart() const { return lineStart_; }
  // The size of the buffer that held the last logical line: 255 bytes plus 255 per growth,
  // growing whenever it could not keep three bytes spare.
  uint32_t lineCapacity() const { return lineCapacity_; }

 private:
  static constexpr size_t kChunkSize = 1 << 16;

  bool Fill();
  int Get();
  void Unget(int c);

  std::FILE* file_;
  std::unique_ptr<char[]> buffer_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool eof_ = false;
  bool error_ = false;
  int pushback_ = -1;
  int64_t physicalLine_ = 1;
  int32_t lineStart_ = 1;
  uint32_t lineCapacity_ = 255;
};

#endif  // DORVALEX_SCRIPT_SCRIPT_SOURCE_H_
