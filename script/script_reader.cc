// The script run's line loop: header word, logical lines, skipping, and the dialect's parser.
#include "script/script_reader.h"

#include "platform/platform.h"
#include "report/report.h"
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

}  // namespace

bool ReadScriptStream(std::FILE* file, const std::string& name, ScriptState& state,
                      OperationHandlers& handlers) {
  state.isRegedit4 = false;
  state.lineNumber = 1;
  ScriptSource source(file);
  ScriptSource::Header header = source.FindHeaderWord();
  if (source.ReadFailed()) return ReportUnreadable(name);
  if (header == ScriptSource::Header::kNone) {
    ReportError("Registry file is not a DORVALEX or REGEDIT4 file type");
    return false;
  }
  state.isRegedit4 = header == ScriptSource::Header::kRegedit4;

  std::string line;
  while (!source.AtEnd()) {
    source.ReadLogicalLine(&line);
    // A line cut short by a read error is never applied.
    if (source.ReadFailed()) return ReportUnreadable(name);
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
