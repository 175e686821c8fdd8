// Reading the parts of key and value lines for the operations, with their diagnostics.
#include "script/line_helpers.h"

#include "base/ascii_case.h"
#include "report/report.h"
#include "script/byte_scan.h"

namespace {

// The name before the "=" at `end`: "@" is the default value (empty name); otherwise the text
// between the first character and the one before the "=" (the quotes of the named form).
// Assigned into *name, whose buffer serves line after line.
void NameBefore(std::string_view text, size_t end, std::string* name) {
  if (text.empty() || text[0] == '@' || end < 2)
    name->clear();
  else
    name->assign(text.substr(1, end - 2));
}

// Finds the name-ending "=" or reports its absence.
bool FindNameEndOrReport(std::string_view text, const ScriptState& state, size_t* end) {
  *end = FindValueNameEnd(text);
  if (*end != std::string_view::npos) return true;
  ReportError("Invalid Value - no = found");
  ReportLine(state, text);
  return false;
}

// The text after the "=", without the line end that closes it.
std::string_view DataAfter(std::string_view text, size_t end) {
  std::string_view data = text.substr(end + 1);
  if (!data.empty()) data.remove_suffix(1);
  return data;
}

bool StartsWithUltiColon(std::string_view text) { return StartsWithIgnoringCase(text, "ulti:"); }

}  // namespace

bool SetCurrentKey(std::string_view text, ScriptState& state) {
  size_t close = text.find(']');
  if (close == std::string_view::npos) {
    ReportError("Invalid Key - no ] specified");
    ReportLine(state, text);
    return false;
  }
  state.currentKey.assign(text.substr(1, close - 1));
  return true;
}

size_t FindValueNameEnd(std::string_view text) {
  size_t from = 0;
  if (text.empty() || text[0] != '@') {
    // Past the name's two double quotes.
    for (int quotes = 0; quotes < 2; ++quotes) {
      size_t quote = FindFirstOf<'"'>(text.data(), from, text.size());
      if (quote == text.size()) return std::string_view::npos;
      from = quote + 1;
    }
  }
  size_t end = FindFirstOf<'='>(text.data(), from, text.size());
  return end == text.size() ? std::string_view::npos : end;
}

bool SplitValueName(std::string_view text, const ScriptState& state, std::string* name) {
  if (!text.empty() && text[0] == '@') {
    name->clear();
    return true;
  }
  size_t end;
  if (!FindNameEndOrReport(text, state, &end)) return false;
  NameBefore(text, end, name);
  return true;
}

bool SplitValueLine(std::string_view text, const ScriptState& state, std::string* name,
                    std::string* data) {
  size_t end;
  if (!FindNameEndOrReport(text, state, &end)) return false;
  NameBefore(text, end, name);
  data->assign(DataAfter(text, end));
  return true;
}

bool SplitStringEditLine(std::string_view text, const ScriptState& state, std::string* name,
                         std::string* operand) {
  size_t end;
  if (!FindNameEndOrReport(text, state, &end)) return false;
  std::string_view data = DataAfter(text, end);
  while (!data.empty() && (data.back() == ' ' || data.back() == '\t')) data.remove_suffix(1);
  // The operand is a quoted string, or "Multi:" and a quoted string.
  bool opens = !data.empty() && (data[0] == '"' || (data.size() > 6 && data[6] == '"' &&
                                                    StartsWithUltiColon(data.substr(1))));
  if (data.size() < 2 || !opens || data.back() != '"') {
    ReportError("Invalid Value - string must be in double quotes");
    ReportLine(state, text);
    return false;
  }
  // The first and last characters are the quotes; after "Multi:" the M is the dropped first
  // character and "ulti:" with the opening quote goes too.
  std::string_view string = data.substr(1, data.size() - 2);
  if (StartsWithUltiColon(string)) string.remove_prefix(string.size() < 6 ? string.size() : 6);
  NameBefore(text, end, name);
  operand->assign(string);
  return true;
}

bool ReadValueData(std::string_view dataText, std::string_view lineText, const ScriptState& state,
                   ValueData* data) {
  *data = ParseValueText(dataText, state.isVersion5 ? HexForm::kVersion5 : HexForm::kScript);
  if (data->recognised) return true;
  ReportError(data->unquoted ? "Invalid Value - string must be in double quotes"
                             : "Invalid Value - unrecognised data type");
  ReportLine(state, lineText);
  return false;
}

void ReportLine(const ScriptState& state, std::string_view text) {
  std::string line = FormatText("[Line %d]:", state.lineNumber);
  line.append(text);
  ReportError(line);
}
