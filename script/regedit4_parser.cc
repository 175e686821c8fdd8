// Parses one line of a REGEDIT4 export and hands it to the UPDATE (or value DELETE) handler.
#include "script/regedit4_parser.h"

#include <string>

#include "report/report.h"
#include "script/line_helpers.h"
#include "script/unescape_line.h"

namespace {

// The export format writes "-" as the data of a value that is to be deleted.
bool DeletesValue(std::string_view text) {
  size_t end = FindValueNameEnd(text);
  return end != std::string_view::npos && text.substr(end + 1) == "-\n";
}

}  // namespace

bool ParseRegedit4Line(std::string_view line, ScriptState& state, OperationHandlers& handlers) {
  if (!line.empty() && line[0] == '[') {
    if (state.escapeError) return true;
    return handlers.UpdateKey(line);
  }
  if (state.currentKey.empty()) {
    ReportError("A registry key must be specified before a value");
    ReportLine(state, line);
    return false;
  }
  static std::string unescaped;  // one buffer for every line; lines are never nested
  if (!UnescapeLine(line, 0, state, &unescaped)) return true;
  if (state.escapeError) return true;
  if (DeletesValue(unescaped)) return handlers.DeleteValue(unescaped);
  return handlers.UpdateValue(unescaped);
}
