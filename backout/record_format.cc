// The one writer and the one reader of backout records.
#include "backout/record_format.h"

#include "base/ascii_case.h"
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

void AppendValueRecord(std::string_view name, DefaultName style, uint32_t type,
                       std::string_view data, std::string* out) {
  out->append("UPDATE:");
  AppendName(name, style, out);
  out->push_back('=');
  AppendValueForRecord(type, data, out);
  out->push_back('\n');
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
  return name.find_first_of("\r\n") == std::string_view::npos;
}

RecordReader::RecordReader(std::string_view content) : content_(content) {
  content_ = content_.substr(0, content_.find('\x1a'));
  if (content_.find("\r\n") == std::string_view::npos) return;
  // Every CR before a line end goes: the rewritten file then reads the same however often it
  // is read again.
  normalized_.reserve(content_.size());
  for (size_t i = 0; i < content_.size();) {
    size_t end = content_.find_first_not_of('\r', i);
    if (end == i) {
      normalized_.push_back(content_[i++]);
      continue;
    }
    if (end == std::string_view::npos) end = content_.size();
    if (end == content_.size() || content_[end] != '\n') normalized_.append(content_, i, end - i);
    i = end;
  }
  content_ = normalized_;
}

bool RecordReader::FindHeader(ScriptState& state) {
  state.lineNumber = 1;
  for (;;) {
    while (position_ < content_.size() && IsSpace(content_[position_])) ++position_;
    if (position_ >= content_.size()) return false;
    size_t start = position_;
    while (position_ < content_.size() && !IsSpace(content_[position_])) ++position_;
    ++state.lineNumber;
    if (EqualsIgnoringCase(content_.substr(start, position_ - start), kHeaderWord)) return true;
  }
}

void RecordReader::ReadBlocks(ScriptState& state) {
  std::string_view line;
  while (NextLine(&line)) {
    ++state.lineNumber;
    if (line.size() < 2 || line[0] == ';') continue;
    size_t colon = line.find(':');
    if (colon != std::string_view::npos && colon + 1 < line.size() && line[colon + 1] == '[') {
      blocks_.push_back(RecordBlock{line, {}});
    } else if (!blocks_.empty()) {
      blocks_.back().lines.push_back(line);
    }
  }
}

// The next logical line with its "\n". A backslash at the end of a line joins the next one
// (without its leading blanks). A last line without its "\n" is dropped: applied, a record cut
// short would restore wrong data.
bool RecordReader::NextLine(std::string_view* line) {
  size_t end = content_.find('\n', position_);
  if (end == std::string_view::npos) {
    position_ = content_.size();
    return false;
  }
  if (end == position_ || content_[end - 1] != '\\') {
    *line = content_.substr(position_, end + 1 - position_);
    position_ = end + 1;
    return true;
  }
  std::string joined;
  while (position_ < content_.size()) {
    char c = content_[position_++];
    if (c == '\n' && !joined.empty() && joined.back() == '\\') {
      joined.pop_back();
      while (position_ < content_.size() && content_[position_] == ' ') ++position_;
      continue;
    }
    if (c == '\n') {
      while (!joined.empty() && joined.back() == '\r') joined.pop_back();  // a CR joined on
      joined.push_back(c);
      joined_.push_back(std::make_unique<std::string>(std::move(joined)));
      *line = *joined_.back();
      return true;
    }
    joined.push_back(c);
  }
  return false;
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
      *key = FoldAsciiCase(rest.substr(1, i - 1));
      return true;
    }
  }
  return false;
}
