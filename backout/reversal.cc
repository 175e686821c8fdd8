// Rewrites a finished backout file last-first: blocks newest first, each block's records newest
// first under its header. The new text goes to a temporary file beside the old one, which it
// replaces by a rename only once it is complete and on disk, so the undo script is never lost.
#include "backout/reversal.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/ascii_case.h"
#include "platform/platform.h"
#include "report/report.h"

namespace {

constexpr std::string_view kHeaderWord = "DORVALEX";

struct Block {
  std::string_view header;
  std::vector<std::string_view> lines;
};

bool ReadWholeFile(const std::string& path, std::string* content) {
  platform::File file;
  return platform::OpenForReading(path, &file) && file.ReadToEnd(content);
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Cuts the file after its header word into logical lines and sorts them into blocks.
class BackoutParser {
 public:
  explicit BackoutParser(std::string_view content) : content_(content) {}

  // False when the header word is missing.
  bool FindHeader(ScriptState& state) {
    state.lineNumber = 1;
    for (;;) {
      while (position_ < content_.size() && IsSpace(content_[position_])) ++position_;
      if (position_ >= content_.size()) return false;
      size_t start = position_;
      while (position_ < content_.size() && !IsSpace(content_[position_])) ++position_;
      ++state.lineNumber;
      if (EqualsIgnoringCase(content_.substr(start, position_ - start), kHeaderWord)) {
        return true;
      }
    }
  }

  void ReadBlocks(ScriptState& state) {
    std::string_view line;
    while (NextLine(&line)) {
      ++state.lineNumber;
      if (line.size() < 2 || line[0] == ';') continue;
      size_t colon = line.find(':');
      if (colon != std::string_view::npos && colon + 1 < line.size() && line[colon + 1] == '[') {
        blocks_.push_back(Block{line, {}});
      } else if (!blocks_.empty()) {
        blocks_.back().lines.push_back(line);
      }
      // A record before any header belongs to no key: applied anywhere it would change the
      // wrong one, so it is left out.
    }
  }

  const std::vector<Block>& blocks() const { return blocks_; }

 private:
  // The next logical line with its "\n". A backslash at the end of a line joins the next one
  // (without its leading blanks). A last line without its "\n" is a record whose write was cut
  // short: it is dropped, since applied it would restore wrong data.
  bool NextLine(std::string_view* line) {
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
    // A continued line is gathered character by character into storage of its own.
    std::string joined;
    while (position_ < content_.size()) {
      char c = content_[position_++];
      if (c == '\n' && !joined.empty() && joined.back() == '\\') {
        joined.pop_back();
        while (position_ < content_.size() && content_[position_] == ' ') ++position_;
        continue;
      }
      joined.push_back(c);
      if (c == '\n') {
        joined_.push_back(std::make_unique<std::string>(std::move(joined)));
        *line = *joined_.back();
        return true;
      }
    }
    return false;
  }

  std::string_view content_;
  size_t position_ = 0;
  std::vector<Block> blocks_;
  // Joined lines live here; the views into them stay valid as the list grows.
  std::vector<std::unique_ptr<std::string>> joined_;
};

// Hands the reversed file's text to `write` piece by piece: the header line and a blank line,
// then the blocks newest first, each header above its records newest first and a blank line.
template <typename Write>
void WriteReversed(const std::vector<Block>& blocks, Write&& write) {
  write("DORVALEX\n\n");
  for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) {
    write(block->header);
    for (auto line = block->lines.rbegin(); line != block->lines.rend(); ++line) write(*line);
    write("\n");
  }
}

// Gathers the new file's text in pieces and writes each piece as it fills.
class ChunkWriter {
 public:
  explicit ChunkWriter(platform::File& file) : file_(file) { buffer_.reserve(kChunk); }
  void Append(std::string_view text) {
    if (buffer_.size() + text.size() > kChunk) Flush();
    if (text.size() > kChunk) {
      ok_ = ok_ && file_.Write(text);
    } else {
      buffer_.append(text);
    }
  }
  // False when any write failed.
  bool Finish() {
    Flush();
    return ok_;
  }

 private:
  static constexpr size_t kChunk = 1 << 20;
  void Flush() {
    ok_ = ok_ && file_.Write(buffer_);
    buffer_.clear();
  }

  platform::File& file_;
  std::string buffer_;
  bool ok_ = true;
};

// Writes the reversed blocks to a new file beside `path` and renames it over `path`, provided
// the name still names the file `createdAs` (when valid). Reports and returns false on any
// failure, leaving `path` untouched and no temporary file behind.
bool ReplaceFile(const std::string& path, const platform::FileId& createdAs,
                 const std::vector<Block>& blocks) {
  platform::Replaced result = platform::ReplaceFile(path, createdAs, [&](platform::File& file) {
    ChunkWriter out(file);
    WriteReversed(blocks, [&out](std::string_view text) { out.Append(text); });
    return out.Finish();
  });
  if (result == platform::Replaced::kCannotCreate) {
    ReportError("Unable to Create Backout File");
  } else if (result == platform::Replaced::kFailed) {
    ReportErrorF("Unable to Write Backout File \"%s\"", path.c_str());
  }
  return result == platform::Replaced::kDone;
}

}  // namespace

bool ReverseBackout(const std::string& path, const platform::FileId& createdAs,
                    const RunSettings& settings, ScriptState& state) {
  if (!settings.quiet) Print("Parsing Backup File ...\n");
  std::string content;
  if (!ReadWholeFile(path, &content)) {
    ReportError("Unable to open Backup File");
    return false;
  }
  BackoutParser parser(content);
  if (!parser.FindHeader(state)) {
    ReportError("Backup file is not a DORVALEX file type");
    return false;
  }
  parser.ReadBlocks(state);

  if (!settings.quiet) Print("Rewriting Backup File ...\n");
  return ReplaceFile(path, createdAs, parser.blocks());
}

bool ReverseBackoutText(std::string_view content, ScriptState& state, std::string* reversed) {
  reversed->clear();
  BackoutParser parser(content);
  if (!parser.FindHeader(state)) return false;
  parser.ReadBlocks(state);
  reversed->reserve(content.size() + 16);
  WriteReversed(parser.blocks(), [reversed](std::string_view text) { reversed->append(text); });
  return true;
}
