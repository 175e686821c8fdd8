// The error-report family and plain console output.
#include "report/report.h"

#include <cstdarg>
#include <cstdio>

#include "report/error_text.h"

namespace {

class StdoutSink final : public OutputSink {
 public:
  void Write(std::string_view text) override { fwrite(text.data(), 1, text.size(), stdout); }
  void Flush() override { fflush(stdout); }
};

StdoutSink stdout_sink;
OutputSink* current_sink = &stdout_sink;

void Emit(std::string_view a, std::string_view b = {}, std::string_view c = {}) {
  current_sink->Write(a);
  if (!b.empty()) current_sink->Write(b);
  if (!c.empty()) current_sink->Write(c);
  current_sink->Flush();
}

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int needed = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) return std::string();
  if (static_cast<size_t>(needed) < sizeof small) return std::string(small, needed);
  std::string text(needed, '\0');
  vsnprintf(text.data(), needed + 1, format, args);
  return text;
}

}  // namespace

OutputSink* SetOutputSink(OutputSink* sink) {
  OutputSink* previous = current_sink;
  current_sink = sink ? sink : &stdout_sink;
  return previous;
}

std::string FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  return text;
}

void Print(std::string_view text) { Emit(text); }

void PrintF(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  Emit(text);
}

void ReportError(std::string_view message) { Emit("***ERROR : ", message, "\n"); }

void ReportErrorF(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  ReportError(text);
}

void ReportErrorAfterProgress(std::string_view message) { Emit("\b***ERROR : ", message, "\n"); }

void ReportErrorAfterProgressF(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  ReportErrorAfterProgress(text);
}

void ReportErrorNoNewline(std::string_view message) { Emit("***ERROR : ", message); }

void ReportSystemError(int32_t code, std::string_view message) {
  ReportError(message);
  PrintSystemErrorText(code);
}

void ReportSystemErrorF(int32_t code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  ReportSystemError(code, text);
}

void PrintSystemErrorText(int32_t code) {
  Emit(FormatText("         : (%d)", code), SystemErrorText(code), "\n");
}
