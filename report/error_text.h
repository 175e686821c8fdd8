// The system's English message text for a Win32 error code.
#ifndef DORVALEX_REPORT_ERROR_TEXT_H_
#define DORVALEX_REPORT_ERROR_TEXT_H_

#include <cstdint>
#include <string_view>

// The text for `code` without its line end, or "Unknown error." for a code without a text.
std::string_view SystemErrorText(int32_t code);

#endif  // DORVALEX_REPORT_ERROR_TEXT_H_
