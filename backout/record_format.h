// The record grammar of backout files, with its one writer and its one reader.
//
//   file    := "DORVALEX\n" [changes-comment] { block }
//   block   := "\n" kind ":[" key-path "]\n" { record }
//   record  := kind ":" name "=" [value-text] "\n"      (UPDATE puts back, DELETE removes)
//   name    := "@" | "\"" escaped-name "\""             ("" names the default value too)
//
// A block header starts a key's records: UPDATE:[K] puts K's values back, DELETE:[K] removes a
// key the run created. Records apply to the key of the block above them. A line ending in a
// backslash continues on the next one. Every record ends in "\n": a last line without it is a
// record whose write was cut short. Lines end as in scripts: "\n" or CR LF, and Ctrl-Z ends
// the file.
#ifndef DORVALEX_BACKOUT_RECORD_FORMAT_H_
#define DORVALEX_BACKOUT_RECORD_FORMAT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "script/script_state.h"

inline constexpr std::string_view kBackoutHeaderLine = "DORVALEX\n";

enum class RecordKind { kUpdate, kDelete };

// How a record names the default value: the operations write "@", the snapshot "".
enum class DefaultName { kAt, kQuoted };

// --- Writer: each call appends one piece of the grammar to *out.

// "\n<KIND>:[<key>]\n"
void AppendBlockHeader(RecordKind kind, std::string_view key, std::string* out);
// "UPDATE:<name>=<value text>\n": the record that puts the value back as it is.
void AppendValueRecord(std::string_view name, DefaultName style, uint32_t type,
                       std::string_view data, std::string* out);
// "DELETE:<name>=\n": the record that removes a value the run created.
void AppendDeletedValueRecord(std::string_view name, std::string* out);
// "\n; Backout file is only showing keys that are overwritten by applying <script>\n", with
// the script's control characters written as "\xHH".
void AppendChangesComment(std::string_view scriptPath, std::string* out);
// Whether a key or value name can be written in a record that reads back: one holding a line
// feed or carriage return (which only a raw agent can create) cannot.
bool RecordableName(std::string_view name);

// --- Reader: cuts a backout file's text into logical lines and blocks, reading it by
// position through a small cache, so that its memory does not grow with the file.

// Bytes read by position: the backout file, or text in memory.
class RecordSource {
 public:
  virtual ~RecordSource() = default;
  // Reads up to `size` bytes from `offset`; *got is less than `size` only at the end.
  // False on a read failure.
  virtual bool ReadAt(uint64_t offset, char* buffer, size_t size, size_t* got) = 0;
};

// One logical line, without its line end.
struct RecordLine {
  uint64_t begin = 0;     // where its first byte is
  uint64_t end = 0;       // just past its last "\n"
  std::string_view text;  // valid until the reader's next call
  // When false, `text` is the file's bytes from `begin` on; when true, it was joined from
  // continued lines and is no run of the file's bytes.
  bool joined = false;
};

// A block: from its header line to the end of its last line.
struct RecordBlockSpan {
  uint64_t begin = 0;
  uint64_t end = 0;
};

class RecordReader {
 public:
  // Reads `source` as the script reader reads a script: CR LF is a line end (any CRs before
  // a LF go with it) and Ctrl-Z ends the file.
  explicit RecordReader(RecordSource& source);
  ~RecordReader();
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  // Skips words up to the header word; false when there is none. Counts lines in state.
  bool FindHeader(ScriptState& state);
  // Reads the rest of the file and gives the span of each block, in file order. Comments and
  // empty lines are skipped; records before any block header belong to no key and are left
  // out. Counts lines in state.
  void ReadBlocks(ScriptState& state, std::vector<RecordBlockSpan>* blocks);
  // Reads one block again: the header line, then (from NextRecord) its records in file order.
  bool StartBlock(const RecordBlockSpan& block, RecordLine* header);
  bool NextRecord(RecordLine* record);
  // A view of up to `size` of the file's bytes from `offset` (at least one unless the read
  // failed): copying a long line takes several calls. Valid until the reader's next call.
  bool Bytes(uint64_t offset, uint64_t size, std::string_view* bytes);
  // Whether a read of the source failed: what was read since may be incomplete.
  bool failed() const { return failed_; }

 private:
  static constexpr size_t kPageSize = 1 << 16;
  static constexpr size_t kPages = 64;
  struct Page;

  bool NextLine(RecordLine* line);
  // The bytes of page `index` (short at the end of the file), through the cache.
  std::string_view LoadPage(uint64_t index);
  bool ByteAt(uint64_t offset, char* c);
  // Finds the next "\n" at or after `from` before the end; false at the end of the file,
  // which a Ctrl-Z found on the way moves there.
  bool FindLineEnd(uint64_t from, uint64_t* lineEnd);
  // The bytes from `begin` to `lineEnd` without the CRs before it.
  std::string_view PhysicalLine(uint64_t begin, uint64_t lineEnd);

  RecordSource& source_;
  std::unique_ptr<Page[]> pages_;  // page n lives in slot n % kPages
  uint64_t position_ = 0;
  uint64_t end_;         // where the file ends; unknown (the largest offset) until reached
  bool endKnown_ = false;
  bool failed_ = false;
  std::string line_;     // a line spread over pages
  std::string joined_;   // a line joined from continued ones
};

// The value a record line (with or without its line end) puts back, in comparison form (its
// escaped name with ASCII letters folded; the default value as ""). False for a line that is
// not a value record.
bool RecordValueKey(std::string_view line, std::string* key);

#endif  // DORVALEX_BACKOUT_RECORD_FORMAT_H_
