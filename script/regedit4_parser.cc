// Parses one line of an export and hands it to the UPDATE or DELETE handler.
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

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The characters the scans below stop at; all others are passed over in one tight loop.
struct StopTable {
  bool stop[256];
  constexpr StopTable() : stop() {
    for (unsigned char c : {'\\', '"', ';', '='}) stop[c] = true;
  }
};
constexpr StopTable kStops;

// The first index from `i` on holding a character the scans look at, or text.size().
size_t SkipPlain(std::string_view text, size_t i) {
  while (i < text.size() && !kStops.stop[static_cast<unsigned char>(text[i])]) ++i;
  return i;
}

// A backslash before a backslash or a double quote escapes it.
bool EscapesNext(std::string_view text, size_t i) {
  return text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"');
}

// Where the data of a value line begins: after the "=" that ends the name, found as
// FindValueNameEnd finds it in the unescaped line (an escaped quote counts as a quote there).
size_t DataStart(std::string_view body) {
  int quotes = !body.empty() && body[0] == '@' ? 2 : 0;
  for (size_t i = 0; (i = SkipPlain(body, i)) < body.size(); ++i) {
    bool escaped = EscapesNext(body, i);
    char c = escaped ? body[i + 1] : body[i];
    if (quotes < 2) {
      if (c == '"') ++quotes;
    } else if (c == '=') {
      return i + 1;
    }
    if (escaped) ++i;
  }
  return std::string_view::npos;
}

}  // namespace

bool CutDataComment(std::string_view line, std::string* kept) {
  std::string_view body = line.substr(0, line.size() - (!line.empty() && line.back() == '\n'));
  size_t start = DataStart(body);
  size_t end = body.size();
  bool clean = true;
  if (start != std::string_view::npos) {
    const bool string = start < body.size() && body[start] == '"';
    bool quoted = false;
    for (size_t i = start; (i = SkipPlain(body, i)) < body.size(); ++i) {
      if (EscapesNext(body, i)) {
        ++i;
      } else if (body[i] == '"') {
        quoted = !quoted;
        if (string && !quoted) {
          // After a string's closing quote only blanks and a comment may follow.
          size_t next = body.find_first_not_of(" \t", i + 1);
          end = i + 1;
          clean = next == std::string_view::npos || body[next] == ';';
          break;
        }
      } else if (body[i] == ';' && !quoted) {
        end = i;
        break;
      }
    }
  }
  if (!clean) {
    kept->assign(line);
    return false;
  }
  while (end > 0 && IsBlank(body[end - 1])) --end;
  kept->assign(body.substr(0, end));
  kept->push_back('\n');
  return true;
}

bool ParseRegedit4Line(std::string_view line, ScriptState& state, OperationHandlers& handlers) {
  if (!line.empty() && line[0] == '[') {
    if (state.escapeError) return true;
    // "[-KEY]" deletes the key as "DELETE:[KEY]" does; "[- KEY]" names a key "- KEY".
    state.keyDeleted = line.size() > 2 && line[1] == '-' && !IsBlank(line[2]);
    if (state.keyDeleted) {
      std::string keyText = "[";
      keyText.append(line.substr(2));
      return handlers.DeleteKey(keyText);
    }
    return handlers.UpdateKey(line);
  }
  if (state.currentKey.empty()) {
    ReportError("A registry key must be specified before a value");
    ReportLine(state, line);
    return false;
  }
  if (state.keyDeleted) {
    ReportError("Value of a deleted key - ignoring this line");
    ReportLine(state, line);
    return true;
  }
  // Buffers for every line: lines are never nested.
  static std::string kept, unescaped;
  const bool clean = CutDataComment(line, &kept);
  if (!UnescapeLine(kept, 0, state, &unescaped)) return true;
  if (state.escapeError) return true;
  if (!clean) {
    ReportError("Invalid Value - text after the closing double quote");
    ReportLine(state, line);
    return false;
  }
  if (DeletesValue(unescaped)) return handlers.DeleteValue(unescaped);
  return handlers.UpdateValue(unescaped);
}
