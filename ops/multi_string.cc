// APPEND, PREPEND, REMOVE and REPLACE: edits of single strings inside a multi-string value.
// They share one course (open, split, read, check the type, record, change, close) and differ
// in the list edit, in what an absent value means and in the record that undoes them.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "ops/multi_string_list.h"
#include "ops/operations.h"
#include "ops/value_operation.h"
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

// A string between double quotes in a record, escaped so that it reads back unchanged.
std::string Quoted(std::string_view text) {
  return "\"" + EscapeValueData(text, kRegSz) + "\"";
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
                 KeyAccess& keys, BackoutFile& backout, std::string_view text)
      : edit_(edit), words_(WordsOf(edit)), settings_(settings), state_(state), keys_(keys),
        backout_(backout), text_(text) {}

  bool Run() {
    // REMOVE and REPLACE never need the key to exist, so they never create it.
    const bool opened =
        edit_ == StringEdit::kRemove || edit_ == StringEdit::kReplace
            ? OpenKeyWithoutCreating(keys_, settings_, state_, &key_)
            : keys_.OpenKeyPath(state_.currentKey, &key_, settings_.noAction,
                                settings_.machineName);
    if (!opened) return false;
    if (!SplitStringEditLine(text_, state_, &name_, &operand_)) return Abandon();
    old_ = ReadOldValue(keys_.registry(), key_, name_, state_);
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
    if (RecordsWanted(settings_, state_)) {
      if (old_.present) {
        if (!Record("REMOVE:" + RecordName(name_) + "=" + Quoted(operand_) + "\n")) {
          return Abandon();
        }
      } else if (!settings_.changesOnly) {
        if (!Record("DELETE:" + RecordName(name_) + "=\n")) return Abandon();
      }
    }
    if (settings_.noAction) return Abandon(true);

    // An absent value counts as a list holding one empty string: APPEND puts the operand in
    // its place, PREPEND keeps it after the operand.
    StringList list = old_.present ? ReadStringList(old_.data) : StringList{std::string()};
    if (edit_ == StringEdit::kAppend) {
      if (list.size() == 1 && list.front().empty()) list.clear();
      list.push_back(operand_);
    } else {
      list.insert(list.begin(), operand_);
    }
    return SetList(list);
  }

  bool RemoveString() {
    if (!old_.present) return Abandon(true);
    StringList list;
    bool leftOut = false;
    for (std::string& text : ReadStringList(old_.data)) {
      if (StringsEqualIgnoringCase(text, operand_)) {
        leftOut = true;
      } else {
        list.push_back(std::move(text));
      }
    }
    if (settings_.noAction) {
      Release();
    } else if (!SetList(list, /*successLine=*/false)) {
      return false;
    }
    // Written after the change: applied to a value that a refused set left as it was, the
    // APPEND that undoes the removal would add a copy the value never lost.
    if (leftOut && RecordsWanted(settings_, state_) &&
        !Record("APPEND:" + RecordName(name_) + "=" + Quoted(operand_) + "\n")) {
      return false;
    }
    PrintSuccess(settings_, state_, words_.label, text_);
    return true;
  }

  bool ReplaceString() {
    std::string search;
    std::string replacement;
    if (!SplitReplaceParameters(operand_, &search, &replacement)) {
      return FailLine("Invalid Search Replace Parameters");
    }
    if (old_.present && RecordsWanted(settings_, state_)) {
      // A record's search string ends at its first comma, so a replacement holding one cannot
      // be searched for again: that change is undone by restoring the whole value instead.
      const std::string record =
          replacement.find(',') == std::string::npos
              ? "REPLACE:" + RecordName(name_) + "=" + Quoted(replacement) + "," +
                    Quoted(search) + "\n"
              : "UPDATE:" + RecordName(name_) + "=" +
                    FormatValueForRecord(old_.type, old_.data) + "\n";
      if (!Record(record)) return Abandon();
    }
    if (settings_.noAction || !old_.present) return Abandon(true);

    StringList list = ReadStringList(old_.data);
    for (std::string& text : list) {
      if (StringsEqualIgnoringCase(text, search)) text = replacement;
    }
    return SetList(list);
  }

  bool Record(const std::string& record) { return WriteValueRecord(backout_, state_, record); }

  // Writes the new list and closes the key; prints the success line unless told not to.
  bool SetList(const StringList& list, bool successLine = true) {
    const std::string data = WriteStringList(list);
    const RegStatus status = keys_.registry().RegSetValueExA(
        key_, name_, 0, kRegMultiSz, reinterpret_cast<const uint8_t*>(data.data()),
        static_cast<uint32_t>(data.size()));
    Release();
    if (status != kErrorSuccess) {
      ReportSystemError(status, "Unable to Create Value");
      ReportLine(state_, text_);
      return false;
    }
    if (successLine) PrintSuccess(settings_, state_, words_.label, text_);
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

  // A no-action run and a key that was not found release silently; the close result of an
  // open key is reported by the close but does not change the line's outcome.
  void Release() {
    if (settings_.noAction || key_ == kNoKey) {
      keys_.ReleaseKeyPath(key_);
    } else {
      (void)keys_.CloseKeyPath(state_.currentKey, key_);
    }
    key_ = kNoKey;
  }

  const StringEdit edit_;
  const EditWords words_;
  const RunSettings& settings_;
  ScriptState& state_;
  KeyAccess& keys_;
  BackoutFile& backout_;
  const std::string_view text_;
  KeyHandle key_ = kNoKey;
  std::string name_;
  std::string operand_;
  OldValue old_;
};

}  // namespace

bool Operations::AppendString(std::string_view text) {
  return StringEditLine(StringEdit::kAppend, settings_, state_, keys_, backout_, text).Run();
}

bool Operations::PrependString(std::string_view text) {
  return StringEditLine(StringEdit::kPrepend, settings_, state_, keys_, backout_, text).Run();
}

bool Operations::RemoveString(std::string_view text) {
  return StringEditLine(StringEdit::kRemove, settings_, state_, keys_, backout_, text).Run();
}

bool Operations::ReplaceString(std::string_view text) {
  return StringEditLine(StringEdit::kReplace, settings_, state_, keys_, backout_, text).Run();
}
