// The REGEDIT4 line parser: every key line updates a key, every value line updates a value,
// except that a lone "-" as the data deletes the value.
#ifndef DORVALEX_SCRIPT_REGEDIT4_PARSER_H_
#define DORVALEX_SCRIPT_REGEDIT4_PARSER_H_

#include <string_view>

#include "script/operation_handlers.h"
#include "script/script_state.h"

// `line` is a logical line ending with "\n". True: go on (also after a reported orphaned
// backslash). False: the run stops; the reason has been reported.
[[nodiscard]] bool ParseRegedit4Line(std::string_view line, ScriptState& state,
                                     OperationHandlers& handlers);

#endif  // DORVALEX_SCRIPT_REGEDIT4_PARSER_H_
