// Rewrites a finished backout file last-first: blocks newest first, each under its header with
// the records of each value newest first. The new text goes to a temporary file beside the old
// one, which it replaces by a rename only once it is complete and on disk, so the undo script
// is never lost. The old file is read by position, one block at a time, so the rewrite needs
// memory for the largest block's line positions and value names, not for the file's text.
#include "backout/reversal.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "backout/record_format.h"
#include "base/name_table.h"
#include "platform/platform.h"
#include "report/report.h"

namespace {

// The backout file, read by position.
class FileSource : public RecordSource {
 public:
  explicit FileSource(platform::File& file) : file_(file) {}
  bool ReadAt(uint64_t offset, char* buffer, size_t size, size_t* got) override {
    return file_.ReadAt(offset, buffer, size, got);
  }

 private:
  platform::File& file_;
};

// Text in memory, read as a file would be.
class TextSource : public RecordSource {
 public:
  explicit TextSource(std::string_view text) : text_(text) {}
  bool ReadAt(uint64_t offset, char* buffer, size_t size, size_t* got) override {
    *got = offset < text_.size() ? std::min<uint64_t>(size, text_.size() - offset) : 0;
    if (*got > 0) std::memcpy(buffer, text_.data() + offset, *got);
    return true;
  }

 private:
  std::string_view text_;
};

// A record line of the block being rewritten: where its text is, and the line of the same
// value before it.
struct RecordRef {
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr uint32_t kJoined = UINT32_MAX;  // as length: `offset` indexes joined text
  uint64_t offset;
  uint32_t length;
  uint32_t previous;
};

// The values of one block and the group of records of each: the keys are kept once, one after
// another, and found through an open-addressing table, so that a block of many values costs
// little more than their names.
class ValueGroups {
 public:
  void Clear() {
    keys_.Clear();  // a large block's memory is given back
    groups_.clear();
  }
  // The group of the value `key`; `group` when the key is new, which it is then given.
  uint32_t Find(std::string_view key, uint32_t group) {
    bool added = false;
    const uint32_t number = keys_.Insert(key, &added);
    if (added) groups_.push_back(group);
    return groups_[number];
  }

 private:
  NameTable keys_;
  std::vector<uint32_t> groups_;  // by key number
};

// Hands the reversed file's text to `write` piece by piece: the header line and a blank line,
// then the blocks newest first, each header above its records and a blank line. Within a block
// the records of each value come last-first, so that applied they end in the state the first
// of them recorded, exactly as the run found it; the values follow each other in the order of
// their first record, so that a key deletion's snapshot brings them back in the order it
// listed them. Records of different values never meet, so regrouping them changes no data.
// False when the file could not be read again as it was read first.
template <typename Write>
bool WriteReversed(RecordReader& reader, const std::vector<RecordBlockSpan>& blocks,
                   Write&& write) {
  write("DORVALEX\n\n");
  ValueGroups groupOf;
  std::vector<uint32_t> lastOfGroup;  // the newest record of each value, in first-record order
  std::vector<RecordRef> records;
  std::vector<std::string> joined;
  std::string key;
  RecordLine line;
  for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) {
    if (!reader.StartBlock(*block, &line)) return false;
    write(line.text);
    write("\n");
    groupOf.Clear();
    lastOfGroup.clear();
    records.clear();
    joined.clear();
    while (reader.NextRecord(&line)) {
      const auto index = static_cast<uint32_t>(records.size());
      if (index == RecordRef::kNone || line.text.size() >= RecordRef::kJoined) return false;
      RecordRef record{line.begin, static_cast<uint32_t>(line.text.size()), RecordRef::kNone};
      if (line.joined) {
        record = RecordRef{joined.size(), RecordRef::kJoined, RecordRef::kNone};
        joined.emplace_back(line.text);
      }
      if (!RecordValueKey(line.text, &key)) {
        lastOfGroup.push_back(index);  // not a value record: a group of its own, where it stood
      } else {
        const auto next = static_cast<uint32_t>(lastOfGroup.size());
        const uint32_t group = groupOf.Find(key, next);
        if (group == next) {
          lastOfGroup.push_back(index);
        } else {
          record.previous = lastOfGroup[group];
          lastOfGroup[group] = index;
        }
      }
      records.push_back(record);
    }
    for (uint32_t last : lastOfGroup) {
      for (uint32_t at = last; at != RecordRef::kNone; at = records[at].previous) {
        const RecordRef& record = records[at];
        if (record.length == RecordRef::kJoined) {
          write(joined[record.offset]);
        } else {
          std::string_view piece;
          for (uint64_t done = 0; done < record.length; done += piece.size()) {
            if (!reader.Bytes(record.offset + done, record.length - done, &piece)) return false;
            write(piece);
          }
        }
        write("\n");
      }
    }
    write("\n");
  }
  return !reader.failed();
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

// Reports a backout file that cannot be read (again).
void ReportUnreadable(const std::string& path, const platform::FileId& createdAs) {
  // The run's own file no longer there under its name: it is not written through a
  // replacement.
  if (createdAs.valid) {
    ReportErrorF("Unable to Write Backout File \"%s\"", path.c_str());
  } else {
    ReportError("Unable to open Backup File");
  }
}

}  // namespace

bool ReverseBackout(const std::string& path, const platform::FileId& createdAs, bool quiet,
                    ScriptState& state) {
  if (!quiet) Print("Parsing Backup File ...\n");
  // Only the file the run created (when `createdAs` is valid): never another user's link,
  // never a file swapped in since.
  platform::File file;
  const bool opened = createdAs.valid ? platform::OpenForReading(path, createdAs, &file)
                                      : platform::OpenForReading(path, &file);
  FileSource source(file);
  RecordReader reader(source);
  std::vector<RecordBlockSpan> blocks;
  if (!opened || !reader.FindHeader(state)) {
    if (opened && !reader.failed()) {
      ReportError("Backup file is not a DORVALEX file type");
    } else {
      ReportUnreadable(path, createdAs);
    }
    return false;
  }
  reader.ReadBlocks(state, &blocks);
  if (reader.failed()) {
    ReportUnreadable(path, createdAs);
    return false;
  }

  if (!quiet) Print("Rewriting Backup File ...\n");
  // The new text goes to a file beside `path` that is renamed over it, provided the name
  // still names the file `createdAs` (when valid); `path` stays untouched on any failure.
  platform::Replaced result = platform::ReplaceFile(path, createdAs, [&](platform::File& out) {
    ChunkWriter chunks(out);
    const bool read =
        WriteReversed(reader, blocks, [&chunks](std::string_view text) { chunks.Append(text); });
    // Closed before the rename: on Windows a file still open cannot be renamed over.
    (void)file.Close();
    return chunks.Finish() && read;
  });
  if (result != platform::Replaced::kDone) {
    ReportErrorF("Unable to Write Backout File \"%s\"", path.c_str());
  }
  return result == platform::Replaced::kDone;
}

bool ReverseBackoutText(std::string_view content, ScriptState& state, std::string* reversed) {
  reversed->clear();
  TextSource source(content);
  RecordReader reader(source);
  if (!reader.FindHeader(state)) return false;
  std::vector<RecordBlockSpan> blocks;
  reader.ReadBlocks(state, &blocks);
  reversed->reserve(content.size() + 16);
  return WriteReversed(reader, blocks,
                       [reversed](std::string_view text) { reversed->append(text); });
}
