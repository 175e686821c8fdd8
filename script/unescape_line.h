// Removes the escapes of a value line: "\\" stands for a backslash and "\"" for a double quote;
// any other backslash is an orphaned backslash, which stops the run's changes.
#ifndef DORVALEX_SCRIPT_UNESCAPE_LINE_H_
#define DORVALEX_SCRIPT_UNESCAPE_LINE_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "script/script_state.h"

// On success *out holds line[start..] unescaped. At the first orphaned backslash: reports it
// with the whole line and a caret under the backslash, sets state.escapeError and returns false.
[[nodiscard]] bool UnescapeLine(std::string_view line, size_t start, ScriptState& state,
                                std::string* out);

#endif  // DORVALEX_SCRIPT_UNESCAPE_LINE_H_
