// APPEND, PREPEND, REMOVE and REPLACE: edits of single strings inside a multi-string value.
// They share one course (open, split, read, check the type, record, change, close) and differ
// in the list edit and in what an absent value means. Each records the value's whole old state
// (not the inverse edit): an inverse edit applied where the edit never reached the store (a run
// killed before its batch was saved) would add or remove a string that was never touched.
// Only the first edit of a value in a run records it: that record alone decides what the
// reversed file gives back, and one copy per line would grow the file with the square of it.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "ops/multi_string_list.h"
#include "ops/operations.h"
#include "ops/value_operation.h"
#include "base/ascii_case.h"
#include "report/report.h"
#include "script/line_helpers.h"
#include "script/value_text.h"

namespace {

enum class StringEdit { kAppend, kPrepend, kRemove, kReplace };

struct EditWords {
  const char* word;   // opens the type message
  const char* label;  // of the success line
};

EditWords WordsOf(StringEdit edit) {
  switch (edit) {
    case StringEdit::kAppend: return {"APPEND", "APPEND : ["};
    case StringEdit::kPrepend: return {"PREPEND", "PREPEND: ["};
    case StringEdit::kRemove: return {"REMOVE", "REMOVE : ["};
    case StringEdit::kReplace: break;
  }
  return {"REPLACE", "REPLACE: ["};
}

// The search and replacement strings of a REPLACE parameter text ("search","replacement"
// without its outer quotes): split at the first comma, dropping the character on each side.
bool SplitReplaceParameters(std::string_view parameters, std::string* search,
                            std::string* replacement) {
  const size_t comma = parameters.find(',');
  // Nothing before or after the comma leaves no room for the quote that is dropped there.
  if (comma == std::string_view::npos || comma == 0 || comma + 1 == parameters.size()) {
    return false;
  }
  search->assign(parameters.substr(0, comma - 1));
  replacement->assign(parameters.substr(comma + 2));
  return true;
}

// One string-edit line from the open of its key to the close. Every path releases the key.
class StringEditLine {
 public:
  StringEditLine(StringEdit edit, const RunSettings& settings, ScriptState& state,
                 KeyAccess& keys, BackoutFile& backout, RecordedValues& recorded,
                 std::string_view text)
      : edit_(edit), words_(WordsOf(edit)), settings_(settings), state_(state), keys_(keys),
        backout_(backout), recorded_(recorded), text_(text) {}

  bool Run() {
    // REMOVE and REPLACE never need the key to exist, so they never create it.
    const bool opened =
        edit_ == StringEdit::kRemove || edit_ == StringEdit::kReplace
            ? OpenKeyWithoutCreating(keys_, settings_, state_, key_.out())
            : keys_.OpenKeyPath(state_.currentKey, key_.out(), settings_.noAction,
                                settings_.machineName);
    if (!opened) return false;
    if (!SplitStringEditLine(text_, state_, &name_, &operand_)) return Abandon();
    if (!ReadOldValue(keys_.registry(), key_.get(), name_, state_, text_, &old_)) return Abandon();
    if (old_.present && old_.type != kRegMultiSz) {
      return FailLine(FormatText("%s: Value Exists but is not a REG_MULTI_SZ", words_.word));
    }
    switch (edit_) {
      case StringEdit::kAppend:
      case StringEdit::kPrepend: return AddString();
      case StringEdit::kRemove: return RemoveString();
      case StringEdit::kReplace: break;
    }
    return ReplaceString();
  }

 private:
  bool AddString() {
    // An absent value counts as a list holding one empty string: APPEND puts the operand in
    // its place, PREPEND keeps it after the operand.
    StringList list = old_.present ? ReadStringList(old_.data) : StringList{std::string()};
    if (edit_ == StringEdit::kAppend) {
      if (list.size() == 1 && list.front().empty()) list.clear();
      list.push_back(operand_);
    } else {
      list.insert(list.begin(), operand_);
    }
    if (!FitsLimit(ListSize(list))) return false;
    if (!RecordOldValue(settings_, state_, backout_, name_, old_, recorded_, true)) return Abandon();
    if (settings_.noAction) return Abandon(true);
    return SetList(list);
  }

  bool RemoveString() {
    if (!old_.present) return Abandon(true);
    StringList list;
    for (std::string& text : ReadStringList(old_.data)) {
      if (!EqualsIgnoringCase(text, operand_)) list.push_back(std::move(text));
    }
    if (!FitsLimit(ListSize(list))) return false;
    if (!RecordOldValue(settings_, state_, backout_, name_, old_, recorded_, true)) return Abandon();
    if (settings_.noAction) {
      Release();
      PrintSuccess(settings_, state_, words_.label, text_);
      return true;
    }
    return SetList(list);
  }

  bool ReplaceString() {
    std::string search;
    std::string replacement;
    if (!SplitReplaceParameters(operand_, &search, &replacement)) {
      return FailLine("Invalid Search Replace Parameters");
    }
    if (!old_.present) return Abandon(true);
    // The new size is counted before the list is built: replacing many short strings by a
    // long one is how a short script asks for gigabytes.
    StringList list = ReadStringList(old_.data);
    size_t size = 1;
    for (const std::string& text : list) {
      size += (EqualsIgnoringCase(text, search) ? replacement.size() : text.size()) + 1;
    }
    if (!FitsLimit(size)) return false;
    if (!RecordOldValue(settings_, state_, backout_, name_, old_, recorded_, true)) return Abandon();
    if (settings_.noAction) return Abandon(true);

    for (std::string& text : list) {
      if (EqualsIgnoringCase(text, search)) text = replacement;
    }
    return SetList(list);
  }

  // The size of the data WriteStringList makes of `list`.
  static size_t ListSize(const StringList& list) {
    size_t size = 1;
    for (const std::string& text : list) size += text.size() + 1;
    return size;
  }

  // False, with the key released and the report made, when new data of `size` bytes would be
  // larger than a line may set.
  bool FitsLimit(size_t size) {
    if (size <= kMaxScriptValueSize) return true;
    Release();
    return CheckValueSize(size, state_, text_);
  }

  // Writes the new list, closes the key and prints the success line.
  bool SetList(const StringList& list) {
    const std::string data = WriteStringList(list);
    const RegStatus status = keys_.registry().RegSetValueExA(
        key_.get(), name_, 0, kRegMultiSz, reinterpret_cast<const uint8_t*>(data.data()),
        static_cast<uint32_t>(data.size()));
    Release();
    if (status != kErrorSuccess) {
      ReportSystemError(status, "Unable to Create Value");
      ReportLine(state_, text_);
      return false;
    }
    PrintSuccess(settings_, state_, words_.label, text_);
    return true;
  }

  bool FailLine(const std::string& message) {
    Release();
    ReportError(message);
    ReportLine(state_, text_);
    return false;
  }

  // Releases the key and ends the line with `result` and no success line.
  bool Abandon(bool result = false) {
    Release();
    return result;
  }

  void Release() { key_.Release(); }

  const StringEdit edit_;
  const EditWords words_;
  const RunSettings& settings_;
  ScriptState& state_;
  KeyAccess& keys_;
  BackoutFile& backout_;
  RecordedValues& recorded_;
  const std::string_view text_;
  ScopedKey key_{keys_, settings_, state_};
  std::string name_;
  std::string operand_;
  OldValue old_;
};

}  // namespace

bool Operations::AppendString(std::string_view text) {
  ReleaseHeldKey();
  return StringEditLine(StringEdit::kAppend, settings_, state_, keys_, backout_, recorded_, text)
      .Run();
}

bool Operations::PrependString(std::string_view text) {
  ReleaseHeldKey();
  return StringEditLine(StringEdit::kPrepend, settings_, state_, keys_, backout_, recorded_, text)
      .Run();
}

bool Operations::RemoveString(std::string_view text) {
  ReleaseHeldKey();
  return StringEditLine(StringEdit::kRemove, settings_, state_, keys_, backout_, recorded_, text)
      .Run();
}

bool Operations::ReplaceString(std::string_view text) {
  ReleaseHeldKey();
  return StringEditLine(StringEdit::kReplace, settings_, state_, keys_, backout_, recorded_, text)
      .Run();
}
