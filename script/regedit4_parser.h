// The line parser of exports (REGEDIT4 and version 5): a key line updates a key, "[-KEY]"
// deletes one; a value line updates a value, a lone "-" as the data deletes it.
#ifndef DORVALEX_SCRIPT_REGEDIT4_PARSER_H_
#define DORVALEX_SCRIPT_REGEDIT4_PARSER_H_

#include <string_view>

#include "script/operation_handlers.h"
#include "script/script_state.h"

// `line` is a logical line ending with "\n". True: go on (also after a reported orphaned
// backslash, and after a value line under a deleted key, which is reported and ignored).
// False: the run stops; the reason has been reported. A value line is handed on without what
// may follow its data: blanks and tabs, then a ";" comment. The data of a string ends at its
// closing double quote (escapes honoured), which only blanks and a comment may follow; other
// data ends at the first ";" outside double quotes.
[[nodiscard]] bool ParseRegedit4Line(std::string_view line, ScriptState& state,
                                     OperationHandlers& handlers);

#endif  // DORVALEX_SCRIPT_REGEDIT4_PARSER_H_
