// Test support: captures everything the program prints while it is alive.
#ifndef DORVALEX_TESTING_CAPTURE_OUTPUT_H_
#define DORVALEX_TESTING_CAPTURE_OUTPUT_H_

#include <string>
#include <utility>

#include "report/report.h"

class CaptureOutput final : public OutputSink {
 public:
  CaptureOutput() { previous_ = SetOutputSink(this); }
  ~CaptureOutput() override { SetOutputSink(previous_); }
  void Write(std::string_view text) override { text_.append(text); }
  void Flush() override {}
  // Returns what was printed so far and starts afresh.
  std::string Take() { return std::exchange(text_, std::string()); }
  const std::string& text() const { return text_; }

 private:
  OutputSink* previous_;
  std::string text_;
};

#endif  // DORVALEX_TESTING_CAPTURE_OUTPUT_H_
