// The one writer and the one reader of backout records.
#include "backout/record_format.h"

#include <algorithm>
#include <cstring>

#include "base/ascii_case.h"
#include "script/byte_scan.h"
#include "script/value_text.h"

namespace {

constexpr std::string_view kHeaderWord = "DORVALEX";

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

void AppendName(std::string_view name, DefaultName style, std::string* out) {
  if (name.empty() && style == DefaultName::kAt) {
    out->push_back('@');
    return;
  }
  out->push_back('"');
  AppendEscapedValueName(name, out);
  out->push_back('"');
}

}  // namespace

void AppendBlockHeader(RecordKind kind, std::string_view key, std::string* out) {
  out->append(kind == RecordKind::kUpdate ? "\nUPDATE:[" : "\nDELETE:[");
  out->append(key).append("]\n");
}

// Room is made once for the longest text the record may take and the record written into it
// through a pointer; the string is then cut to what was written.
void AppendValueRecord(std::string_view name, DefaultName style, uint32_t type,
                       std::string_view data, std::string* out) {
  static constexpr std::string_view kKind = "UPDATE:";
  const size_t start = out->size();
  out->resize(start + kKind.size() + EscapedValueNameRoom(name.size()) +
              ValueForRecordRoom(data.size()) + 4);  // two quotes, "=" and the line end
  char* to = out->data() + start;
  std::memcpy(to, kKind.data(), kKind.size());
  to += kKind.size();
  if (name.empty() && style == DefaultName::kAt) {
    *to++ = '@';
  } else {
    *to++ = '"';
    to = WriteEscapedValueName(name, to);
    *to++ = '"';
  }
  *to++ = '=';
  to = WriteValueForRecord(type, data, to);
  *to++ = '\n';
  out->resize(static_cast<size_t>(to - out->data()));
}

void AppendDeletedValueRecord(std::string_view name, std::string* out) {
  out->append("DELETE:");
  AppendName(name, DefaultName::kAt, out);
  out->append("=\n");
}

void AppendChangesComment(std::string_view scriptPath, std::string* out) {
  out->append("\n; Backout file is only showing keys that are overwritten by applying ");
  // A control character of the name is written as "\xHH", so the comment stays one line and
  // a name holding a line break cannot add records of its own.
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (char c : scriptPath) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      out->append("\\x").push_back(kDigits[byte >> 4]);
      out->push_back(kDigits[byte & 15]);
    } else {
      out->push_back(c);
    }
  }
  out->push_back('\n');
}

bool RecordableName(std::string_view name) {
  if (name.size() >= 16) return FindFirstOf<'\n', '\r'>(name.data(), 0, name.size()) == name.size();
  // A short name is looked at as a copy padded with blanks: one step instead of byte by byte.
  char padded[16];
  std::memset(padded, ' ', sizeof padded);
  if (!name.empty()) std::memcpy(padded, name.data(), name.size());
  return FindFirstOf<'\n', '\r'>(padded, 0, sizeof padded) >= name.size();
}

struct RecordReader::Page {
  uint64_t index = UINT64_MAX;
  size_t size = 0;
  std::unique_ptr<char[]> bytes;
};

RecordReader::RecordReader(RecordSource& source)
    : source_(source), pages_(new Page[kPages]), end_(UINT64_MAX) {}

RecordReader::~RecordReader() = default;

std::string_view RecordReader::LoadPage(uint64_t index) {
  Page& page = pages_[index % kPages];
  if (page.index != index) {
    if (!page.bytes) page.bytes.reset(new char[kPageSize]);
    page.index = UINT64_MAX;
    if (!source_.ReadAt(index * kPageSize, page.bytes.get(), kPageSize, &page.size)) {
      failed_ = true;
      return {};
    }
    page.index = index;
  }
  return std::string_view(page.bytes.get(), page.size);
}

bool RecordReader::ByteAt(uint64_t offset, char* c) {
  if (offset >= end_) return false;
  std::string_view page = LoadPage(offset / kPageSize);
  const size_t at = offset % kPageSize;
  if (at >= page.size() || (!endKnown_ && page[at] == '\x1a')) {
    end_ = offset;
    endKnown_ = true;
    return false;
  }
  *c = page[at];
  return true;
}

bool RecordReader::FindLineEnd(uint64_t from, uint64_t* lineEnd) {
  for (uint64_t at = from; at < end_;) {
    std::string_view page = LoadPage(at / kPageSize);
    const size_t offset = at % kPageSize;
    if (offset >= page.size()) break;
    const size_t size =
        static_cast<size_t>(std::min<uint64_t>(page.size() - offset, end_ - at));
    const char* bytes = page.data() + offset;
    const char* found = static_cast<const char*>(std::memchr(bytes, '\n', size));
    const size_t before = found ? static_cast<size_t>(found - bytes) : size;
    if (!endKnown_) {
      if (std::memchr(bytes, '\x1a', before) != nullptr) break;
    }
    if (found) {
      *lineEnd = at + before;
      return true;
    }
    at += size;
    if (page.size() < kPageSize) break;
  }
  if (!endKnown_) {
    // The end of the file or a Ctrl-Z: where the last line started is as far as any
    // whole line reaches.
    end_ = from;
    endKnown_ = true;
  }
  return false;
}

std::string_view RecordReader::PhysicalLine(uint64_t begin, uint64_t lineEnd) {
  std::string_view text;
  if (begin < lineEnd && Bytes(begin, lineEnd - begin, &text) && text.size() < lineEnd - begin) {
    // Spread over pages: gathered here, as each page read may drop the one before.
    line_.assign(text);
    std::string_view piece;
    for (uint64_t at = begin + text.size(); at < lineEnd; at += piece.size()) {
      if (!Bytes(at, lineEnd - at, &piece)) break;
      line_.append(piece);
    }
    text = line_;
  }
  while (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  return text;
}

bool RecordReader::Bytes(uint64_t offset, uint64_t size, std::string_view* bytes) {
  std::string_view page = LoadPage(offset / kPageSize);
  const size_t at = offset % kPageSize;
  if (at >= page.size()) {
    failed_ = true;  // the file is shorter than when its lines were found
    return false;
  }
  *bytes = page.substr(at, static_cast<size_t>(std::min<uint64_t>(size, page.size() - at)));
  return true;
}

bool RecordReader::FindHeader(ScriptState& state) {
  state.lineNumber = 1;
  char c = 0;
  for (;;) {
    while (ByteAt(position_, &c) && IsSpace(c)) ++position_;
    if (!ByteAt(position_, &c)) return false;
    const uint64_t start = position_;
    std::string word;
    while (ByteAt(position_, &c) && !IsSpace(c)) {
      if (word.size() <= kHeaderWord.size()) word.push_back(c);
      ++position_;
    }
    ++state.lineNumber;
    if (position_ - start == kHeaderWord.size() && EqualsIgnoringCase(word, kHeaderWord)) {
      return true;
    }
  }
}

void RecordReader::ReadBlocks(ScriptState& state, std::vector<RecordBlockSpan>* blocks) {
  RecordLine line;
  while (NextLine(&line)) {
    ++state.lineNumber;
    const size_t colon = line.text.find(':');
    if (!line.text.empty() && line.text[0] != ';' && colon != std::string_view::npos &&
        colon + 1 < line.text.size() && line.text[colon + 1] == '[') {
      blocks->push_back(RecordBlockSpan{line.begin, line.end});
    } else if (!blocks->empty()) {
      blocks->back().end = line.end;  // a record, or a line that it skips when read again
    }
  }
}

bool RecordReader::StartBlock(const RecordBlockSpan& block, RecordLine* header) {
  position_ = block.begin;
  end_ = block.end;
  endKnown_ = true;
  return NextLine(header);
}

bool RecordReader::NextRecord(RecordLine* record) {
  while (NextLine(record)) {
    if (!record->text.empty() && record->text[0] != ';') return true;
  }
  return false;
}

// The next logical line. A backslash at the end of a line joins the next one (without its
// leading blanks). A last line without its "\n" is dropped: applied, a record cut short would
// restore wrong data.
bool RecordReader::NextLine(RecordLine* line) {
  uint64_t lineEnd = 0;
  if (!FindLineEnd(position_, &lineEnd)) return false;
  std::string_view text = PhysicalLine(position_, lineEnd);
  line->begin = position_;
  position_ = lineEnd + 1;
  if (text.empty() || text.back() != '\\') {
    line->text = text;
    line->end = position_;
    line->joined = false;
    return true;
  }
  joined_.assign(text);
  while (!joined_.empty() && joined_.back() == '\\') {
    joined_.pop_back();
    if (!FindLineEnd(position_, &lineEnd)) return false;
    text = PhysicalLine(position_, lineEnd);
    position_ = lineEnd + 1;
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    joined_.append(text);
    // CRs joined on go as a line end's would; a backslash they leave last joins the next
    // line too, so that the joined line, written as one, reads back the same.
    while (!joined_.empty() && joined_.back() == '\r') joined_.pop_back();
  }
  line->text = joined_;
  line->end = position_;
  line->joined = true;
  return true;
}

bool RecordValueKey(std::string_view line, std::string* key) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view rest = line.substr(colon + 1);
  if (rest.starts_with("@=")) {
    key->clear();
    return true;
  }
  if (rest.empty() || rest[0] != '"') return false;
  for (size_t i = 1; i < rest.size(); ++i) {
    if (rest[i] == '\\') {
      ++i;
    } else if (rest[i] == '"') {
      if (i + 1 >= rest.size() || rest[i + 1] != '=') return false;
      FoldAsciiCaseInto(rest.substr(1, i - 1), key);
      return true;
    }
  }
  return false;
}
