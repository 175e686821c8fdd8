// Test support: operation handlers that record each call ("UpdateValue|<text>", or with the
// line number first, "3 UpdateValue|<text>", when given the script state) and answer with a
// chosen result, so that parsing can be checked without a registry.
#ifndef DORVALEX_TESTING_RECORDING_HANDLERS_H_
#define DORVALEX_TESTING_RECORDING_HANDLERS_H_

#include <string>
#include <string_view>
#include <vector>

#include "script/operation_handlers.h"
#include "script/script_state.h"

class RecordingHandlers final : public OperationHandlers {
 public:
  explicit RecordingHandlers(const ScriptState* state = nullptr) : state_(state) {}

  bool UpdateKey(std::string_view text) override { return Record("UpdateKey", text); }
  bool UpdateValue(std::string_view text) override { return Record("UpdateValue", text); }
  bool DeleteKey(std::string_view text) override { return Record("DeleteKey", text); }
  bool DeleteValue(std::string_view text) override { return Record("DeleteValue", text); }
  bool AppendString(std::string_view text) override { return Record("AppendString", text); }
  bool PrependString(std::string_view text) override { return Record("PrependString", text); }
  bool RemoveString(std::string_view text) override { return Record("RemoveString", text); }
  bool ReplaceString(std::string_view text) override { return Record("ReplaceString", text); }

  // The calls so far, oldest first; Take() starts afresh.
  const std::vector<std::string>& calls() const { return calls_; }
  std::vector<std::string> Take() {
    std::vector<std::string> calls;
    calls.swap(calls_);
    return calls;
  }
  // Every handler returns false from call number `n` (1-based) on; 0 never fails.
  void FailFromCall(size_t n) { failFrom_ = n; }

 private:
  bool Record(std::string_view handler, std::string_view text) {
    std::string call = state_ ? std::to_string(state_->lineNumber) + " " : std::string();
    calls_.push_back(call.append(handler).append("|").append(text));
    return failFrom_ == 0 || calls_.size() < failFrom_;
  }

  const ScriptState* state_;
  std::vector<std::string> calls_;
  size_t failFrom_ = 0;
};

#endif  // DORVALEX_TESTING_RECORDING_HANDLERS_H_
