// The native-dialect line parser: operation word, key or value line, escapes, and the call of
// the operation's handler.
#ifndef DORVALEX_SCRIPT_NATIVE_PARSER_H_
#define DORVALEX_SCRIPT_NATIVE_PARSER_H_

#include <string_view>

#include "script/operation_handlers.h"
#include "script/script_state.h"

// `line` is a logical line ending with "\n". True: go on with the next line (also after an
// unknown operation or an orphaned backslash, both reported). False: the run stops; the
// reason has been reported.
[[nodiscard]] bool ParseNativeLine(std::string_view line, ScriptState& state,
                                   OperationHandlers& handlers);

#endif  // DORVALEX_SCRIPT_NATIVE_PARSER_H_
