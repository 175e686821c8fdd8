// Parses one line of an export and hands it to the UPDATE or DELETE handler.
#include "script/regedit4_parser.h"

#include <cstring>
#include <string>

#include "report/report.h"
#include "script/byte_scan.h"
#include "script/line_helpers.h"
#include "script/unescape_line.h"

namespace {

constexpr size_t kNone = std::string_view::npos;

// The export format writes "-" as the data of a value that is to be deleted.
bool DeletesValue(std::string_view text) {
  // Only a line ending in "=-" can; most are turned away by that alone.
  if (text.size() < 3 || text.substr(text.size() - 3) != "=-\n") return false;
  size_t end = FindValueNameEnd(text);
  return end != kNone && text.substr(end + 1) == "-\n";
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A backslash before a backslash or a double quote escapes it.
bool EscapesNext(std::string_view text, size_t i) {
  return text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"');
}

// What one pass over a value line (without its line end) finds.
struct ValueLineScan {
  // Where the data ends: at a string's closing double quote, else before the first ";" outside
  // double quotes; the blanks and tabs before that point are not part of it.
  size_t end = 0;
  // Nothing but blanks and a comment follows a string's closing quote.
  bool clean = true;
  // The first orphaned backslash before `end` (kNone when there is none).
  size_t orphan = kNone;
  // The line had escapes: the unescaped line up to `end`, with a line end, is the first
  // `unescapedLength` bytes of the output buffer.
  size_t unescapedLength = kNone;
};

// Scans a value line once: the "=" that ends its name, found as FindValueNameEnd finds it in
// the unescaped line (an escaped quote counts as a quote there), then the data's end and
// whether the line is clean (see ValueLineScan). Escape pairs are removed into *out as they are
// met; nothing is copied for a line without them.
ValueLineScan ScanValueLine(std::string_view body, std::string* out) {
  ValueLineScan scan;
  size_t copied = 0;   // body[0, copied) has been unescaped into *out
  size_t written = 0;  // ... as its first `written` bytes
  // True for an escape pair at i, which is unescaped; false for an orphaned backslash.
  auto backslash = [&](size_t i) {
    if (!EscapesNext(body, i)) {
      if (scan.orphan == kNone) scan.orphan = i;
      return false;
    }
    if (scan.orphan != kNone) return true;  // the line is refused: nothing more to unescape
    if (copied == 0 && out->size() <= body.size()) out->resize(body.size() + 1);
    std::memcpy(out->data() + written, body.data() + copied, i - copied);
    written += i - copied;
    (*out)[written++] = body[i + 1];
    copied = i + 2;
    return true;
  };

  size_t start = kNone;
  int quotes = !body.empty() && body[0] == '@' ? 2 : 0;
  for (size_t i = 0; (i = FindFirstOf<'\\', '"', '='>(body.data(), i, body.size())) < body.size();
       ++i) {
    if (body[i] == '\\') {
      if (backslash(i) && body[++i] == '"' && quotes < 2) ++quotes;
    } else if (quotes < 2) {
      if (body[i] == '"') ++quotes;
    } else if (body[i] == '=') {
      start = i + 1;
      break;
    }
  }

  scan.end = body.size();
  if (start != kNone) {
    const bool string = start < body.size() && body[start] == '"';
    bool quoted = false;
    for (size_t i = start;
         (i = FindFirstOf<'\\', '"', ';'>(body.data(), i, body.size())) < body.size(); ++i) {
      if (body[i] == '\\') {
        if (backslash(i)) ++i;
      } else if (body[i] == '"') {
        quoted = !quoted;
        if (string && !quoted) {
          // After a string's closing quote only blanks and a comment may follow.
          size_t next = body.find_first_not_of(" \t", i + 1);
          scan.end = i + 1;
          scan.clean = next == kNone || body[next] == ';';
          break;
        }
      } else if (!quoted) {
        scan.end = i;
        break;
      }
    }
  }
  while (scan.end > 0 && IsBlank(body[scan.end - 1])) --scan.end;
  // An escape pair never straddles `end` (neither of its characters ends data or is a blank).
  if (copied != 0 && scan.clean && scan.orphan == kNone) {
    std::memcpy(out->data() + written, body.data() + copied, scan.end - copied);
    written += scan.end - copied;
    (*out)[written++] = '\n';
    scan.unescapedLength = written;
  }
  return scan;
}

}  // namespace

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
  std::string_view body = line.substr(0, line.size() - (!line.empty() && line.back() == '\n'));
  const ValueLineScan scan = ScanValueLine(body, &unescaped);
  if (!scan.clean) {
    // The whole line is unescaped, so an orphaned backslash after the quote is reported first.
    if (!UnescapeLine(line, 0, state, &unescaped)) return true;
    if (state.escapeError) return true;
    ReportError("Invalid Value - text after the closing double quote");
    ReportLine(state, line);
    return false;
  }
  std::string_view text;
  if (scan.orphan != kNone || scan.unescapedLength == kNone) {
    if (scan.end == body.size() && body.size() < line.size()) {
      text = line;  // the common line: nothing to cut or unescape
    } else {
      kept.assign(body.substr(0, scan.end));
      kept.push_back('\n');
      text = kept;
    }
    // Reports the orphaned backslash with the line as cut.
    if (scan.orphan != kNone && !UnescapeLine(text, 0, state, &unescaped)) return true;
  } else {
    text = std::string_view(unescaped.data(), scan.unescapedLength);
  }
  if (state.escapeError) return true;
  if (DeletesValue(text)) return handlers.DeleteValue(text);
  return handlers.UpdateValue(text);
}
