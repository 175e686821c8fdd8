// Reads a script file: finds its header word, cuts it into logical lines and hands each line
// that is not blank or a comment to the parser of its dialect.
#ifndef DORVALEX_SCRIPT_SCRIPT_READER_H_
#define DORVALEX_SCRIPT_SCRIPT_READER_H_

#include <cstdio>
#include <string>

#include "script/operation_handlers.h"
#include "script/script_state.h"

// True: the whole file was read (escapeError may be set). False: the file cannot be opened,
// has no header word, or a line failed; the reason has been reported.
[[nodiscard]] bool ReadScriptFile(const std::string& inputPath, ScriptState& state,
                                  OperationHandlers& handlers);

// The same over a file already open for reading, read from its current position (the caller
// closes it); `name` names the file in messages.
[[nodiscard]] bool ReadScriptStream(std::FILE* file, const std::string& name, ScriptState& state,
                                    OperationHandlers& handlers);

#endif  // DORVALEX_SCRIPT_SCRIPT_READER_H_
