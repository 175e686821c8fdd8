// Parses one native-dialect line and dispatches it to its operation.
#include "script/native_parser.h"

#include <array>
#include <string>

#include "report/report.h"
#include "script/line_helpers.h"
#include "script/unescape_line.h"

namespace {

// Longer operation words name no operation.
constexpr size_t kMaxOperationWord = 47;

enum class Operation { kUpdate, kDelete, kAppend, kPrepend, kReplace, kRemove, kUnknown };

struct OperationName {
  std::string_view word;
  Operation operation;
};

constexpr std::array<OperationName, 6> kOperations = {{
    {"UPDATE", Operation::kUpdate},
    {"DELETE", Operation::kDelete},
    {"APPEND", Operation::kAppend},
    {"PREPEND", Operation::kPrepend},
    {"REPLACE", Operation::kReplace},
    {"REMOVE", Operation::kRemove},
}};

Operation LookUpOperation(std::string_view word) {
  if (word.size() > kMaxOperationWord) return Operation::kUnknown;
  std::string upper(word);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  for (const OperationName& entry : kOperations) {
    if (upper == entry.word) return entry.operation;
  }
  return Operation::kUnknown;
}

bool IgnoreUnknownLine(std::string_view line, const ScriptState& state) {
  ReportError("Unknown Operation Type - ignoring this line");
  ReportLine(state, line);
  return true;
}

bool RefuseKeyLine(std::string_view word, std::string_view line, const ScriptState& state) {
  ReportError(std::string(word) + " operation is not allowed on KEY types");
  ReportLine(state, line);
  return false;
}

bool CallKeyHandler(Operation operation, std::string_view line, std::string_view rest,
                    const ScriptState& state, OperationHandlers& handlers) {
  switch (operation) {
    case Operation::kUpdate: return handlers.UpdateKey(rest);
    case Operation::kDelete: return handlers.DeleteKey(rest);
    case Operation::kAppend: return RefuseKeyLine("APPEND", line, state);
    case Operation::kPrepend: return RefuseKeyLine("PREPEND", line, state);
    case Operation::kReplace: return RefuseKeyLine("REPLACE", line, state);
    case Operation::kRemove: return RefuseKeyLine("REMOVE", line, state);
    case Operation::kUnknown: break;
  }
  return IgnoreUnknownLine(line, state);
}

bool CallValueHandler(Operation operation, std::string_view line, std::string_view rest,
                      const ScriptState& state, OperationHandlers& handlers) {
  switch (operation) {
    case Operation::kUpdate: return handlers.UpdateValue(rest);
    case Operation::kDelete: return handlers.DeleteValue(rest);
    case Operation::kAppend: return handlers.AppendString(rest);
    case Operation::kPrepend: return handlers.PrependString(rest);
    case Operation::kReplace: return handlers.ReplaceString(rest);
    case Operation::kRemove: return handlers.RemoveString(rest);
    case Operation::kUnknown: break;
  }
  return IgnoreUnknownLine(line, state);
}

}  // namespace

bool ParseNativeLine(std::string_view line, ScriptState& state, OperationHandlers& handlers) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return IgnoreUnknownLine(line, state);
  std::string_view word = line.substr(0, colon);
  std::string_view rest = line.substr(colon + 1);

  if (!rest.empty() && rest[0] == '[') {
    // A key line: its path is taken literally, backslashes are separators.
    if (state.escapeError) return true;
    return CallKeyHandler(LookUpOperation(word), line, rest, state, handlers);
  }

  if (state.currentKey.empty()) {
    ReportError("A registry key must be specified before a value");
    ReportLine(state, line);
    return false;
  }
  // Orphaned backslashes are still looked for after the first one, but nothing is applied.
  std::string unescaped;
  if (!UnescapeLine(line, colon + 1, state, &unescaped)) return true;
  if (state.escapeError) return true;
  return CallValueHandler(LookUpOperation(word), line, unescaped, state, handlers);
}
