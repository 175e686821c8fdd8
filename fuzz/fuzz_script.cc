// Fuzzes the script reader and both line parsers with handlers that only split and decode the
// lines, and checks that a UTF-16LE file reads exactly as its text in UTF-8. (That every value
// read writes back as a record that reads back the same: fuzz_value_text.cc.)
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "report/report.h"
#include "script/line_helpers.h"
#include "script/operation_handlers.h"
#include "script/script_reader.h"
#include "script/script_state.h"
#include "script/utf16.h"
#include "script/value_text.h"

namespace {

class DiscardOutput final : public OutputSink {
 public:
  void Write(std::string_view) override {}
  void Flush() override {}
};

bool ReadScriptText(std::string script, ScriptState& state, OperationHandlers& handlers) {
  if (script.empty()) script = " ";
  std::FILE* file = fmemopen(script.data(), script.size(), "rb");
  if (file == nullptr) std::abort();
  bool ok = ReadScriptStream(file, "fuzz", state, handlers);
  std::fclose(file);
  return ok;
}

// Handlers that do what the real ones do with the line text, short of touching a registry.
class SplittingHandlers final : public OperationHandlers {
 public:
  explicit SplittingHandlers(ScriptState& state) : state_(state) {}
  bool UpdateKey(std::string_view text) override { return SetCurrentKey(text, state_); }
  bool DeleteKey(std::string_view text) override { return SetCurrentKey(text, state_); }
  bool UpdateValue(std::string_view text) override {
    std::string name, data;
    if (!SplitValueLine(text, state_, &name, &data)) return false;
    ValueData value = ParseValueText(data);
    if (!value.recognised && !value.bytes.empty()) std::abort();
    (void)EscapeValueName(name);
    return true;
  }
  bool DeleteValue(std::string_view text) override { return SplitEdit(text, true); }
  bool AppendString(std::string_view text) override { return SplitEdit(text, false); }
  bool PrependString(std::string_view text) override { return SplitEdit(text, false); }
  bool RemoveString(std::string_view text) override { return SplitEdit(text, false); }
  bool ReplaceString(std::string_view text) override { return SplitEdit(text, false); }

 private:
  bool SplitEdit(std::string_view text, bool nameOnly) {
    std::string name, operand;
    if (nameOnly) return SplitValueName(text, state_, &name);
    return SplitStringEditLine(text, state_, &name, &operand);
  }

  ScriptState& state_;
};

// Records each call as "<line number> <handler>|<text>" and succeeds.
class RecordingHandlers final : public OperationHandlers {
 public:
  explicit RecordingHandlers(const ScriptState& state) : state_(state) {}
  bool UpdateKey(std::string_view text) override { return Record("UpdateKey", text); }
  bool UpdateValue(std::string_view text) override { return Record("UpdateValue", text); }
  bool DeleteKey(std::string_view text) override { return Record("DeleteKey", text); }
  bool DeleteValue(std::string_view text) override { return Record("DeleteValue", text); }
  bool AppendString(std::string_view text) override { return Record("AppendString", text); }
  bool PrependString(std::string_view text) override { return Record("PrependString", text); }
  bool RemoveString(std::string_view text) override { return Record("RemoveString", text); }
  bool ReplaceString(std::string_view text) override { return Record("ReplaceString", text); }
  std::vector<std::string> calls;

 private:
  bool Record(std::string_view handler, std::string_view text) {
    calls.push_back(std::to_string(state_.lineNumber) + " " + std::string(handler) + "|" +
                    std::string(text));
    return true;
  }
  const ScriptState& state_;
};

// The handler calls (with line numbers) and the result of reading `script`.
std::vector<std::string> CallsOf(std::string script, bool* ok) {
  ScriptState state;
  state.currentKey = "HKLM\\F";
  RecordingHandlers recorder(state);
  *ok = ReadScriptText(std::move(script), state, recorder);
  return recorder.calls;
}

// `units` as the text of a UTF-16LE file with its mark must read as the same text in UTF-8.
void CheckUtf16ReadsAsUtf8(std::string_view units) {
  std::string utf8;
  if (!AppendUtf16LeAsUtf8(reinterpret_cast<const uint8_t*>(units.data()), units.size(), &utf8) ||
      utf8.empty() || utf8.rfind("\xEF\xBB\xBF", 0) == 0) {  // a second mark is text in UTF-16
    return;
  }
  bool wideOk = false, narrowOk = false;
  if (CallsOf("\xFF\xFE" + std::string(units), &wideOk) != CallsOf(utf8, &narrowOk) ||
      wideOk != narrowOk) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static DiscardOutput discard;
  SetOutputSink(&discard);
  std::string_view input(reinterpret_cast<const char*>(bytes), size);
  if (!input.empty() && input[0] == '%') {
    CheckUtf16ReadsAsUtf8(input.substr(1));
    return 0;
  }
  ScriptState state;
  SplittingHandlers handlers(state);
  (void)ReadScriptText(std::string(input), state, handlers);
  return 0;
}
