// The script run's line loop: header word, logical lines, skipping, and the dialect's parser.
#include "script/script_reader.h"

#include <algorithm>
#include <new>

#include "platform/platform.h"
#include "report/report.h"
#include "script/line_helpers.h"
#include "script/native_parser.h"
#include "script/regedit4_parser.h"
#include "script/script_source.h"

namespace {

// Blank lines, lines of white space and comment lines (";" in the first column) are skipped.
bool IsSkipped(const std::string& line) {
  if (line.size() < 2 || line[0] == ';') return true;
  for (char c : line) {
    if (c != ' ' && c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r') return false;
  }
  return true;
}

bool ReportUnreadable(const std::string& name) {
  ReportErrorF("Unable to read Registry Input File: \"%s\"", name.c_str());
  return false;
}

// UTF-16 text that cannot be turned into UTF-8 stops the run at the line that holds it; the
// line is shown as far as it was read.
bool ReportBadText(const ScriptSource& source, std::string text, ScriptState& state) {
  ReportError(source.textError() == ScriptSource::TextError::kOddByte
                  ? "Invalid UTF-16 Text - the file ends in the middle of a character"
                  : "Invalid UTF-16 Text - a lone surrogate");
  state.lineNumber = source.physicalLine();
  if (text.empty() || text.back() != '\n') text.push_back('\n');
  ReportLine(state, text);
  ReportError("Fatal Error - Program Exit");
  return false;
}

// The longest part of a line that an out-of-memory report shows.
constexpr size_t kShownLine = 200;

// Memory ran out on a line (a value or a line too large for this machine's limits): the run
// stops there as at any failed line, so that its backout file is closed and reversed.
// The line's memory is given back before anything is reported.
bool ReportExhausted(std::string* line, ScriptState& state) {
  const bool cut = line->size() > kShownLine;
  line->resize(std::min(line->size(), kShownLine));
  line->shrink_to_fit();
  if (cut) line->append("...");
  if (line->empty() || line->back() != '\n') line->push_back('\n');
  ReportSystemError(8, "Out of Memory");
  ReportLine(state, *line);
  ReportError("Fatal Error - Program Exit");
  return false;
}

}  // namespace

bool ReadScriptStream(std::FILE* file, const std::string& name, ScriptState& state,
                      OperationHandlers& handlers) {
  state.isRegedit4 = false;
  state.isVersion5 = false;
  state.keyDeleted = false;
  state.lineNumber = 1;
  ScriptSource source(file);
  ScriptSource::Header header = source.FindHeaderWord();
  if (source.ReadFailed()) return ReportUnreadable(name);
  if (source.textError() != ScriptSource::TextError::kNone) {
    return ReportBadText(source, std::string(), state);
  }
  if (header == ScriptSource::Header::kNone) {
    ReportError("Registry file is not a DORVALEX or REGEDIT4 file type");
    ReportError(source.DescribeStart());
    return false;
  }
  state.isVersion5 = header == ScriptSource::Header::kVersion5;
  state.isRegedit4 = state.isVersion5 || header == ScriptSource::Header::kRegedit4;

  std::string line;
  // The standard library reports exhausted memory by throwing; it is caught once, here, and
  // becomes the failure of the line being read or applied.
  try {
    while (!source.AtEnd()) {
      source.ReadLogicalLine(&line);
      // A line cut short by a read error is never applied.
      if (source.ReadFailed()) return ReportUnreadable(name);
      if (source.textError() != ScriptSource::TextError::kNone) {
        return ReportBadText(source, line, state);
      }
      state.lineNumber = source.lineStart();
      state.lineCapacity = source.lineCapacity();
      if (IsSkipped(line)) continue;
      bool ok = state.isRegedit4 ? ParseRegedit4Line(line, state, handlers)
                                 : ParseNativeLine(line, state, handlers);
      if (ok) ok = handlers.LineDone();
      if (!ok) {
        ReportError("Fatal Error - Program Exit");
        return false;
      }
    }
  } catch (const std::bad_alloc&) {
    state.lineNumber = source.lineStart();
    return ReportExhausted(&line, state);
  }
  return true;
}

bool ReadScriptFile(const std::string& inputPath, ScriptState& state,
                    OperationHandlers& handlers) {
  std::FILE* file = std::fopen(inputPath.c_str(), "rb");
  if (file != nullptr && platform::StreamIsDirectory(file)) {
    std::fclose(file);
    file = nullptr;
  }
  if (file == nullptr) {
    ReportErrorF("Unable to open Registry Input File: \"%s\"", inputPath.c_str());
    return false;
  }
  bool ok = ReadScriptStream(file, inputPath, state, handlers);
  std::fclose(file);
  return ok;
}
