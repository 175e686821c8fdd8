// The bytes of a script file as the parsers see them: buffered reading, UTF-16LE (FF FE mark)
// turned into UTF-8 and a UTF-8 mark dropped, CR LF folded to "\n", Ctrl-Z as the end of the
// file, the header search and the assembly of logical lines.
#ifndef DORVALEX_SCRIPT_SCRIPT_SOURCE_H_
#define DORVALEX_SCRIPT_SCRIPT_SOURCE_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

class ScriptSource {
 public:
  // kVersion5: the first line is "Windows Registry Editor Version 5.00".
  enum class Header { kNative, kRegedit4, kVersion5, kNone };
  // Why the text stopped before the end of a UTF-16 file.
  enum class TextError { kNone, kLoneSurrogate, kOddByte };

  // Reads `file` from its current position; the caller keeps ownership of it.
  explicit ScriptSource(std::FILE* file);

  // Skips whitespace-delimited words until a header word. Reading then continues directly
  // after it (after the version 5 header: at the end of its line). kNone at the end of the file.
  Header FindHeaderWord();

  // The next logical line: continuation lines joined, always ending with "\n" (NUL bytes are
  // ordinary bytes of the line). Memory grows with the longest logical line only.
  void ReadLogicalLine(std::string* line);

  // The end of the file has been seen: no further logical line follows.
  bool AtEnd() const { return eof_ && pending_.empty(); }
  // The file could not be read to its end.
  bool ReadFailed() const { return error_; }
  // The UTF-16 text of the file is not valid at the point where reading stopped (AtEnd() is
  // then true); the text before that point has been delivered.
  TextError textError() const { return textError_; }
  // The physical line being read (where a text error stands).
  int32_t physicalLine() const;
  // For the refusal of a file without a header: its first line as found (up to a few dozen
  // bytes, control and non-ASCII bytes as \xNN), with a hint when it looks like UTF-16 text
  // without its mark; or a note that the file is empty.
  std::string DescribeStart() const;
  // The physical line (1-based) on which the last logical line starts.
  int32_t lineStart() const { return lineStart_; }
  // The size of the buffer that held the last logical line: 255 bytes plus 255 per growth,
  // growing whenever it could not keep three bytes spare.
  uint32_t lineCapacity() const { return lineCapacity_; }

 private:
  static constexpr size_t kChunkSize = 1 << 16;

  bool Fill();
  bool FillFromUtf16();
  void NoteStart();
  int Get();
  void Unget(int c);
  bool RestOfLineIsVersion5();

  std::FILE* file_;
  std::unique_ptr<char[]> buffer_;  // the text as the parsers see it (UTF-8 for UTF-16 files)
  size_t pos_ = 0;
  size_t end_ = 0;
  bool eof_ = false;
  bool error_ = false;
  bool started_ = false;
  std::unique_ptr<uint8_t[]> raw_;  // UTF-16 files: bytes read but not yet decoded
  size_t rawLength_ = 0;
  bool rawEnd_ = false;
  TextError textError_ = TextError::kNone;
  TextError pendingTextError_ = TextError::kNone;
  std::string start_;    // the first bytes of the text, for DescribeStart
  bool utf16_ = false;
  std::string pending_;  // characters given back, read before the buffer (the last one first)
  int64_t physicalLine_ = 1;
  int32_t lineStart_ = 1;
  uint32_t lineCapacity_ = 255;
};

#endif  // DORVALEX_SCRIPT_SCRIPT_SOURCE_H_
