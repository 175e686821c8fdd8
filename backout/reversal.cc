// Rewrites a finished backout file last-first: blocks newest first, each under its header with
// the records of each value newest first. The new text goes to a temporary file beside the old
// one, which it replaces by a rename only once it is complete and on disk, so the undo script
// is never lost.
#include "backout/reversal.h"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "backout/record_format.h"
#include "platform/platform.h"
#include "report/report.h"

namespace {

// Reads the file `path` names; when `createdAs` is valid, only if that is the file the run
// created (never another user's link, never a file swapped in since).
bool ReadWholeFile(const std::string& path, const platform::FileId& createdAs,
                   std::string* content) {
  platform::File file;
  const bool opened = createdAs.valid ? platform::OpenForReading(path, createdAs, &file)
                                      : platform::OpenForReading(path, &file);
  return opened && file.ReadToEnd(content);
}

// Hands the reversed file's text to `write` piece by piece: the header line and a blank line,
// then the blocks newest first, each header above its records and a blank line. Within a block
// the records of each value come last-first, so that applied they end in the state the first
// of them recorded, exactly as the run found it; the values follow each other in the order of
// their first record, so that a key deletion's snapshot brings them back in the order it
// listed them. Records of different values never meet, so regrouping them changes no data.
template <typename Write>
void WriteReversed(const std::vector<RecordBlock>& blocks, Write&& write) {
  write("DORVALEX\n\n");
  std::unordered_map<std::string, size_t> groupOf;
  std::vector<std::vector<std::string_view>> groups;
  std::string key;
  for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) {
    write(block->header);
    groupOf.clear();
    groups.clear();
    for (std::string_view line : block->lines) {
      if (!RecordValueKey(line, &key)) {
        groups.push_back({line});  // not a value record: a group of its own, where it stood
        continue;
      }
      auto [it, added] = groupOf.try_emplace(key, groups.size());
      if (added) groups.emplace_back();
      groups[it->second].push_back(line);
    }
    for (const std::vector<std::string_view>& group : groups) {
      for (auto line = group.rbegin(); line != group.rend(); ++line) write(*line);
    }
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
                 const std::vector<RecordBlock>& blocks) {
  platform::Replaced result = platform::ReplaceFile(path, createdAs, [&](platform::File& file) {
    ChunkWriter out(file);
    WriteReversed(blocks, [&out](std::string_view text) { out.Append(text); });
    return out.Finish();
  });
  if (result != platform::Replaced::kDone) {
    ReportErrorF("Unable to Write Backout File \"%s\"", path.c_str());
  }
  return result == platform::Replaced::kDone;
}

}  // namespace

bool ReverseBackout(const std::string& path, const platform::FileId& createdAs, bool quiet,
                    ScriptState& state) {
  if (!quiet) Print("Parsing Backup File ...\n");
  std::string content;
  if (!ReadWholeFile(path, createdAs, &content)) {
    // The run's own file no longer there under its name: it is not written through a
    // replacement.
    if (createdAs.valid) {
      ReportErrorF("Unable to Write Backout File \"%s\"", path.c_str());
    } else {
      ReportError("Unable to open Backup File");
    }
    return false;
  }
  RecordReader parser(content);
  if (!parser.FindHeader(state)) {
    ReportError("Backup file is not a DORVALEX file type");
    return false;
  }
  parser.ReadBlocks(state);

  if (!quiet) Print("Rewriting Backup File ...\n");
  return ReplaceFile(path, createdAs, parser.blocks());
}

bool ReverseBackoutText(std::string_view content, ScriptState& state, std::string* reversed) {
  reversed->clear();
  RecordReader parser(content);
  if (!parser.FindHeader(state)) return false;
  parser.ReadBlocks(state);
  reversed->reserve(content.size() + 16);
  WriteReversed(parser.blocks(), [reversed](std::string_view text) { reversed->append(text); });
  return true;
}
