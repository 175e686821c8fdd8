// Rewrites a finished backout file last-first, so that applying it undoes the run's changes
// in the reverse of the order in which they were made.
#ifndef DORVALEX_BACKOUT_REVERSAL_H_
#define DORVALEX_BACKOUT_REVERSAL_H_

#include <string>
#include <string_view>

#include "platform/platform.h"
#include "script/script_state.h"

// True when the file was rewritten. The new file replaces the old one only when it is
// complete and synced, and (when `createdAs` is valid) only while `path` still names the file
// the run created; on any failure the old file stays as it was.
// Unless `quiet`, prints the two progress lines.
bool ReverseBackout(const std::string& path, const platform::FileId& createdAs, bool quiet,
                    ScriptState& state);

// The text ReverseBackout writes for a file of the given content, built in memory. False, with
// nothing reported, when the content holds no header word.
bool ReverseBackoutText(std::string_view content, ScriptState& state, std::string* reversed);

#endif  // DORVALEX_BACKOUT_REVERSAL_H_
