// The system's message text for a Win32 error code: on Windows the system's own (in its
// language), elsewhere the English texts Windows gives for the codes this program meets.
#ifndef DORVALEX_REPORT_ERROR_TEXT_H_
#define DORVALEX_REPORT_ERROR_TEXT_H_

#include <cstdint>
#include <string>

// The text for `code` without its line end, or "Unknown error." for a code without a text.
std::string SystemErrorText(int32_t code);

#endif  // DORVALEX_REPORT_ERROR_TEXT_H_
