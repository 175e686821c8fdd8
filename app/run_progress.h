// What a person watching a run sees on standard error: one progress line while a long script
// runs (only when standard error is a terminal) and a notice when the run waits for another
// run that holds the store. Standard output never carries any of it.
#ifndef DORVALEX_APP_RUN_PROGRESS_H_
#define DORVALEX_APP_RUN_PROGRESS_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "report/report.h"
#include "script/operation_handlers.h"
#include "script/script_state.h"

// True when standard error is a terminal, the only place a progress line belongs.
bool ProgressWanted();

// Says on standard error that the run is about to wait for the store at `storePath`, naming
// the process that holds its run lock, when another process holds it; silent otherwise.
void AnnounceStoreWait(const std::string& storePath);

// Forwards every handler to `inner` and, after a completed line, redraws the progress line at
// most ten times a second: `target` (the store or host), lines done, the share of the script's
// lines read, lines per second and the time taken. While it is installed, console output first
// erases a drawn line, so that standard output and the progress line never share a line on
// a terminal that shows both; the destructor erases the line and restores the output sink.
class ProgressHandlers final : public OperationHandlers, private OutputSink {
 public:
  ProgressHandlers(OperationHandlers& inner, const ScriptState& state, std::string target,
                   const std::string& inputPath);
  ~ProgressHandlers() override;
  ProgressHandlers(const ProgressHandlers&) = delete;
  ProgressHandlers& operator=(const ProgressHandlers&) = delete;

  bool UpdateKey(std::string_view text) override { return inner_.UpdateKey(text); }
  bool UpdateValue(std::string_view text) override { return inner_.UpdateValue(text); }
  bool DeleteKey(std::string_view text) override { return inner_.DeleteKey(text); }
  bool DeleteValue(std::string_view text) override { return inner_.DeleteValue(text); }
  bool AppendString(std::string_view text) override { return inner_.AppendString(text); }
  bool PrependString(std::string_view text) override { return inner_.PrependString(text); }
  bool RemoveString(std::string_view text) override { return inner_.RemoveString(text); }
  bool ReplaceString(std::string_view text) override { return inner_.ReplaceString(text); }
  bool LineDone() override;

 private:
  void Write(std::string_view text) override;
  void Flush() override;
  void Draw();
  void Erase();

  OperationHandlers& inner_;
  const ScriptState& state_;
  std::string target_;
  int64_t totalLines_ = 0;  // physical lines of the script; 0 when unknown (not a file)
  uint32_t sinceCheck_ = 0;
  bool drawn_ = false;
  OutputSink* previous_ = nullptr;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
};

#endif  // DORVALEX_APP_RUN_PROGRESS_H_
