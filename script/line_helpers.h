// Helpers that read the parts of a script line: the current key of a key line and the value
// name, data text or string operand of a value line. Each reports its own failure.
#ifndef DORVALEX_SCRIPT_LINE_HELPERS_H_
#define DORVALEX_SCRIPT_LINE_HELPERS_H_

#include <string>
#include <string_view>

#include "script/script_state.h"
#include "script/value_text.h"

// text begins with "[": currentKey becomes the path up to the first "]".
// False after "Invalid Key - no ] specified"; currentKey is then unchanged.
[[nodiscard]] bool SetCurrentKey(std::string_view text, ScriptState& state);

// Position of the "=" that ends the value name: the first "=" after the name's two double
// quotes (after the "@" of the default value, the first "=" at all); npos when there is none.
size_t FindValueNameEnd(std::string_view text);

// The value name of a DELETE value line ("@" alone is the default value, empty name).
[[nodiscard]] bool SplitValueName(std::string_view text, const ScriptState& state,
                                  std::string* name);
// Value name and data text (after "=", without the line end) of an UPDATE value line.
[[nodiscard]] bool SplitValueLine(std::string_view text, const ScriptState& state,
                                  std::string* name, std::string* data);
// The value data of `dataText` (from SplitValueLine), read as the script's dialect wants it.
// False after "Invalid Value - string must be in double quotes" or "Invalid Value -
// unrecognised data type" with `lineText`.
[[nodiscard]] bool ReadValueData(std::string_view dataText, std::string_view lineText,
                                 const ScriptState& state, ValueData* data);
// Value name and the quoted operand of an APPEND/PREPEND/REMOVE/REPLACE line, without its
// quotes (a "Multi:" before the opening quote is skipped). Blanks and tabs after the closing
// quote are dropped; an operand not in double quotes is refused.
[[nodiscard]] bool SplitStringEditLine(std::string_view text, const ScriptState& state,
                                       std::string* name, std::string* operand);

// Prints "[Line %d]:%s" with the current line number and `text` (which keeps its line end).
void ReportLine(const ScriptState& state, std::string_view text);

#endif  // DORVALEX_SCRIPT_LINE_HELPERS_H_
