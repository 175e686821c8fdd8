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

// --- Reader: cuts a backout file's text into logical lines and sorts them into blocks.

struct RecordBlock {
  std::string_view header;              // the header line with its "\n"
  std::vector<std::string_view> lines;  // its records, in file order, each with its "\n"
};

class RecordReader {
 public:
  // Reads `content` as the script reader reads a script: CR LF is a line end (any CRs before
  // a LF go with it) and Ctrl-Z ends the file.
  explicit RecordReader(std::string_view content);

  // Skips words up to the header word; false when there is none. Counts lines in state.
  bool FindHeader(ScriptState& state);
  // Reads the rest of the file into blocks. Comments and lines of fewer than two bytes are
  // skipped; a record before any block header belongs to no key and is left out.
  void ReadBlocks(ScriptState& state);
  const std::vector<RecordBlock>& blocks() const { return blocks_; }

 private:
  bool NextLine(std::string_view* line);

  std::string normalized_;  // the content with its CR LF folded, when it had any
  std::string_view content_;
  size_t position_ = 0;
  std::vector<RecordBlock> blocks_;
  // Joined continuation lines live here; views into them stay valid as the list grows.
  std::vector<std::unique_ptr<std::string>> joined_;
};

// The value a record line puts back, in comparison form (its escaped name with ASCII letters
// folded; the default value as ""). False for a line that is not a value record.
bool RecordValueKey(std::string_view line, std::string* key);

#endif  // DORVALEX_BACKOUT_RECORD_FORMAT_H_
