// Unescaping of value lines and the three-line orphaned-backslash diagnostic.
#include "script/unescape_line.h"

#include "report/report.h"

namespace {

void ReportOrphanedBackslash(std::string_view line, size_t position, const ScriptState& state) {
  ReportError("An orphaned \\ character was found");
  std::string prefix = FormatText("[Line %d]:", state.lineNumber);
  // The line brings its own line end; the caret line pads to the backslash's column so that
  // the caret stands under it (both lines share the error prefix).
  ReportErrorNoNewline(prefix + std::string(line));
  std::string caret = prefix;
  caret.append(position, ' ');
  caret.append("^\n");
  ReportError(caret);
}

}  // namespace

bool UnescapeLine(std::string_view line, size_t start, ScriptState& state, std::string* out) {
  out->clear();
  if (start > line.size()) start = line.size();
  out->reserve(line.size() - start);
  size_t i = start;
  while (i < line.size()) {
    size_t backslash = line.find('\\', i);
    if (backslash == std::string_view::npos) {
      out->append(line.substr(i));
      break;
    }
    out->append(line.substr(i, backslash - i));
    char next = backslash + 1 < line.size() ? line[backslash + 1] : '\0';
    if (backslash + 1 >= line.size() || (next != '\\' && next != '"')) {
      ReportOrphanedBackslash(line, backslash, state);
      state.escapeError = true;
      return false;
    }
    out->push_back(next);
    i = backslash + 2;
  }
  return true;
}
