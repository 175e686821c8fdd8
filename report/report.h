// Console reporting: every line the program prints goes through here, to standard output,
// flushed after each message so that output appears in the order it is produced.
#ifndef DORVALEX_REPORT_REPORT_H_
#define DORVALEX_REPORT_REPORT_H_

#include <cstdint>
#include <string>
#include <string_view>

// Where console output goes. The default writes to stdout; tests install a capturing sink.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual void Write(std::string_view text) = 0;
  virtual void Flush() = 0;
};

// Installs `sink` (nullptr restores stdout) and returns the previous one.
OutputSink* SetOutputSink(OutputSink* sink);

// Plain output (banner, summary, success and progress lines), flushed.
void Print(std::string_view text);
void PrintF(const char* format, ...) __attribute__((format(printf, 1, 2)));

// printf-style formatting into a string of any length.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "***ERROR : " + message + "\n".
void ReportError(std::string_view message);
void ReportErrorF(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "\b***ERROR : " + message + "\n": erases the spinner character before the message.
void ReportErrorAfterProgress(std::string_view message);
void ReportErrorAfterProgressF(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "***ERROR : " + message, no line end (the message brings its own).
void ReportErrorNoNewline(std::string_view message);
// ReportError, then the system text line of `code`.
void ReportSystemError(int32_t code, std::string_view message);
void ReportSystemErrorF(int32_t code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// "         : (" + code + ")" + the system's text for the code, which ends with "\n".
void PrintSystemErrorText(int32_t code);

#endif  // DORVALEX_REPORT_REPORT_H_
