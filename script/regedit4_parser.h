// The line parser of exports (REGEDIT4 and version 5): a key line updates a key, "[-KEY]"
// deletes one; a value line updates a value, a lone "-" as the data deletes it.
#ifndef DORVALEX_SCRIPT_REGEDIT4_PARSER_H_
#define DORVALEX_SCRIPT_REGEDIT4_PARSER_H_

#include <string_view>

#include "script/operation_handlers.h"
#include "script/script_state.h"

// `line` is a logical line ending with "\n". True: go on (also after a reported orphaned
// backslash, and after a value line under a deleted key, which is reported and ignored).
// False: the run stops; the reason has been reported.
[[nodiscard]] bool ParseRegedit4Line(std::string_view line, ScriptState& state,
                                     OperationHandlers& handlers);

// The value line without what may follow its data: blanks and tabs, then a ";" comment. The
// data of a string ends at its closing double quote (escapes honoured); other data ends at
// the first ";" outside double quotes. `line` is as read, with its line end; `kept` gets the
// line up to the end of its data, with its line end. False when anything but blanks and a
// comment follows the closing quote of a string (`kept` is then the whole line).
bool CutDataComment(std::string_view line, std::string* kept);

#endif  // DORVALEX_SCRIPT_REGEDIT4_PARSER_H_
