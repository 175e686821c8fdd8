// Buffered reading of a script file into header word and logical lines.
#include "script/script_source.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "base/ascii_case.h"
#include "script/script_state.h"

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

}  // namespace

ScriptSource::ScriptSource(std::FILE* file)
    : file_(file), buffer_(new char[kChunkSize]) {}

bool ScriptSource::Fill() {
  if (eof_) return false;
  pos_ = 0;
  end_ = std::fread(buffer_.get(), 1, kChunkSize, file_);
  if (end_ == 0) {
    if (std::ferror(file_)) error_ = true;
    eof_ = true;
    return false;
  }
  return true;
}

// The next character, with CR LF read as "\n"; kEnd at the end of the file or at Ctrl-Z.
int ScriptSource::Get() {
  if (pushback_ >= 0) {
    int c = pushback_;
    pushback_ = -1;
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
  pushback_ = c;
  if (c == '\n') --physicalLine_;
}

ScriptSource::Header ScriptSource::FindHeaderWord() {
  char word[9];
  for (;;) {
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
    if (pushback_ < 0 && pos_ < end_) {
      const char* run = buffer_.get() + pos_;
      const char* stop = run;
      const char* last = buffer_.get() + end_;
      while (stop < last && *stop != '\n' && *stop != '\r' && *stop != kCtrlZ) ++stop;
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
