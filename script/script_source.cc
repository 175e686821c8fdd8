// Buffered reading of a script file into header word and logical lines.
#include "script/script_source.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "base/ascii_case.h"
#include "script/byte_scan.h"
#include "script/script_state.h"
#include "script/utf16.h"

namespace {

constexpr int kEnd = -1;
constexpr char kCtrlZ = 26;

bool IsWordSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The buffer grows in steps of kLineGrowth before a character is read whenever only three
// bytes are left, so the largest count of characters held before a read decides its size.
uint32_t CapacityFor(size_t largestCount) {
  uint64_t steps = (static_cast<uint64_t>(largestCount) + 4 + kLineGrowth - 1) / kLineGrowth;
  uint64_t capacity = steps * kLineGrowth;
  constexpr uint64_t kLargest = UINT32_MAX / kLineGrowth * kLineGrowth;
  return static_cast<uint32_t>(std::min(capacity, kLargest));
}

int32_t ClampLine(int64_t line) { return static_cast<int32_t>(std::min<int64_t>(line, INT32_MAX)); }

// The words after "Windows" on the first line of a version 5 export (compared in upper case).
constexpr std::string_view kVersion5Rest = " REGISTRY EDITOR VERSION 5.00";
// How much of the start of a file is kept to describe a file without a header.
constexpr size_t kStartKept = 64;
constexpr size_t kStartShown = 40;

}  // namespace

// UTF-16 text takes up to 3 bytes of UTF-8 for every 2 bytes read.
ScriptSource::ScriptSource(std::FILE* file)
    : file_(file), buffer_(new char[kChunkSize / 2 * 3]) {}

bool ScriptSource::Fill() {
  if (eof_) return false;
  pos_ = 0;
  end_ = 0;
  if (utf16_) return FillFromUtf16();
  end_ = std::fread(buffer_.get(), 1, kChunkSize, file_);
  if (end_ == 0) {
    if (std::ferror(file_)) error_ = true;
    eof_ = true;
    return false;
  }
  if (started_) return true;
  started_ = true;
  auto* bytes = reinterpret_cast<const uint8_t*>(buffer_.get());
  if (end_ >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    utf16_ = true;
    raw_.reset(new uint8_t[kChunkSize]);
    rawLength_ = end_ - 2;
    std::memcpy(raw_.get(), bytes + 2, rawLength_);
    end_ = 0;
    const bool filled = FillFromUtf16();
    NoteStart();
    return filled;
  }
  if (end_ >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) pos_ = 3;
  NoteStart();
  return pos_ < end_ || Fill();
}

// Decodes the next stretch of a UTF-16 file into the buffer. A unit that is not valid UTF-16
// ends the text there: what precedes it is delivered first, then the file ends with
// textError_ set.
bool ScriptSource::FillFromUtf16() {
  while (end_ == 0) {
    if (pendingTextError_ != TextError::kNone) {
      textError_ = pendingTextError_;
      eof_ = true;
      return false;
    }
    if (!rawEnd_ && rawLength_ < kChunkSize) {
      size_t got = std::fread(raw_.get() + rawLength_, 1, kChunkSize - rawLength_, file_);
      if (got == 0) {
        if (std::ferror(file_)) {
          error_ = true;
          eof_ = true;
          return false;
        }
        rawEnd_ = true;
      }
      rawLength_ += got;
    }
    if (rawEnd_ && rawLength_ == 0) {
      eof_ = true;
      return false;
    }
    Utf16Decoded decoded = DecodeUtf16Le(raw_.get(), rawLength_, rawEnd_, buffer_.get());
    end_ = decoded.written;
    rawLength_ -= decoded.consumed;
    std::memmove(raw_.get(), raw_.get() + decoded.consumed, rawLength_);
    if (decoded.invalid) {
      pendingTextError_ = rawLength_ == 1 ? TextError::kOddByte : TextError::kLoneSurrogate;
    }
  }
  return true;
}

void ScriptSource::NoteStart() {
  start_.assign(buffer_.get() + pos_, std::min(end_ - pos_, kStartKept));
}

int32_t ScriptSource::physicalLine() const { return ClampLine(physicalLine_); }

std::string ScriptSource::DescribeStart() const {
  if (start_.empty()) return "The file is empty";
  std::string_view line(start_);
  line = line.substr(0, line.find_first_of("\r\n"));
  std::string shown;
  for (char c : line.substr(0, kStartShown)) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      shown.push_back(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      shown.append(hex);
    }
  }
  std::string text = "The file begins with \"" + shown + (line.size() > kStartShown ? "\"..." : "\"");
  // Text in UTF-16 has a NUL in every other byte wherever it is ASCII.
  if (!utf16_ && start_.size() >= 2 && (start_[0] == '\0') != (start_[1] == '\0')) {
    text += " - it looks like UTF-16 text without its byte-order mark";
  } else if (start_.size() >= 2 && static_cast<unsigned char>(start_[0]) == 0xFE &&
             static_cast<unsigned char>(start_[1]) == 0xFF) {
    text += " - it looks like big-endian UTF-16 text, which is not read";
  }
  return text;
}

// The next character, with CR LF read as "\n"; kEnd at the end of the file or at Ctrl-Z.
int ScriptSource::Get() {
  if (!pending_.empty()) {
    int c = static_cast<unsigned char>(pending_.back());
    pending_.pop_back();
    if (c == '\n') ++physicalLine_;
    return c;
  }
  if (pos_ == end_ && !Fill()) return kEnd;
  char c = buffer_[pos_++];
  if (c == kCtrlZ) {
    eof_ = true;
    pos_ = end_;
    return kEnd;
  }
  if (c == '\r') {
    if (pos_ == end_ && !Fill()) return '\r';
    if (buffer_[pos_] == '\n') {
      ++pos_;
      c = '\n';
    }
  }
  if (c == '\n') ++physicalLine_;
  return static_cast<unsigned char>(c);
}

void ScriptSource::Unget(int c) {
  if (c < 0) return;
  pending_.push_back(static_cast<char>(c));
  if (c == '\n') --physicalLine_;
}

// After the word "Windows" that opens a file: whether the rest of its line completes the
// version 5 header (blanks and tabs may follow). Reading goes on at the end of that line when
// it does, else directly after "Windows".
bool ScriptSource::RestOfLineIsVersion5() {
  std::string rest;
  int c;
  while ((c = Get()) != kEnd && c != '\n' && rest.size() <= kVersion5Rest.size() + 256) {
    rest.push_back(static_cast<char>(c));
  }
  std::string_view text(rest);
  bool matches = text.size() >= kVersion5Rest.size() &&
                 EqualsIgnoringCase(text.substr(0, kVersion5Rest.size()), kVersion5Rest) &&
                 text.find_first_not_of(" \t", kVersion5Rest.size()) == std::string_view::npos;
  Unget(c);
  if (!matches) {
    for (size_t i = rest.size(); i-- > 0;) Unget(static_cast<unsigned char>(rest[i]));
  }
  return matches;
}

ScriptSource::Header ScriptSource::FindHeaderWord() {
  char word[9];
  for (bool first = true;; first = false) {
    int c;
    do {
      c = Get();
    } while (c != kEnd && IsWordSpace(c));
    if (c == kEnd) return Header::kNone;
    // Only the first characters are kept: a word longer than any header word is skipped whole.
    size_t length = 0;
    while (c != kEnd && !IsWordSpace(c)) {
      if (length < sizeof word) word[length] = static_cast<char>(c);
      ++length;
      c = Get();
    }
    Unget(c);
    std::string_view text(word, std::min(length, sizeof word));
    if (first && length == 7 && EqualsIgnoringCase(text, "WINDOWS") && RestOfLineIsVersion5()) {
      return Header::kVersion5;
    }
    if (length <= 8) {
      if (EqualsIgnoringCase(text, "DORVALEX") || EqualsIgnoringCase(text, "KAVORE1")) {
        return Header::kNative;
      }
      if (EqualsIgnoringCase(text, "REGEDIT4")) return Header::kRegedit4;
    }
  }
}

void ScriptSource::ReadLogicalLine(std::string* line) {
  line->clear();
  lineStart_ = ClampLine(physicalLine_);
  size_t largestCount = 0;
  for (;;) {
    // Plain characters are taken in runs straight from the buffer.
    if (pending_.empty() && pos_ < end_) {
      const char* run = buffer_.get() + pos_;
      const char* last = buffer_.get() + end_;
      // The run ends at the line end, or before a CR or a Ctrl-Z, which Get() reads.
      const char* stop = run + FindFirstOf<'\n', '\r', kCtrlZ>(run, 0, last - run);
      line->append(run, stop);
      pos_ += static_cast<size_t>(stop - run);
    }
    int c = Get();
    if (c == kEnd) break;
    if (c == '\n' && !line->empty() && line->back() == '\\') {
      // A backslash ending a line joins the next one; the blanks that indent it are dropped.
      largestCount = std::max(largestCount, line->size());
      line->pop_back();
      do {
        c = Get();
      } while (c == ' ');
      if (c == kEnd) break;
      if (c == '\n') {
        largestCount = std::max(largestCount, line->size());
        line->push_back('\n');
        lineCapacity_ = CapacityFor(largestCount);
        return;
      }
      line->push_back(static_cast<char>(c));
      continue;
    }
    if (c == '\n') {
      largestCount = std::max(largestCount, line->size());
      line->push_back('\n');
      lineCapacity_ = CapacityFor(largestCount);
      return;
    }
    line->push_back(static_cast<char>(c));
  }
  // The end of the file completes the line, which still gets its line end.
  largestCount = std::max(largestCount, line->size());
  line->push_back('\n');
  lineCapacity_ = CapacityFor(largestCount);
}
