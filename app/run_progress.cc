// The progress line and the store-wait notice, written straight to standard error.
#include "app/run_progress.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "registry/local_registry.h"

namespace {

// Ten redraws a second at most; the clock is read once per this many lines.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr uint32_t kClockEvery = 64;

// A progress line is never worth failing the run for.
void WriteToStderr(std::string_view text) { (void)platform::WriteStandardError(text); }

// Physical lines of a regular file ("\n" bytes, plus a last line without one); 0 otherwise.
int64_t CountLines(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return 0;
  int64_t lines = 0;
  if (platform::StreamIsRegularFile(file)) {
    std::vector<char> buffer(1 << 20);
    char last = '\n';
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
      for (const char* p = buffer.data(); (p = static_cast<const char*>(
                                               std::memchr(p, '\n', buffer.data() + n - p)));
           ++p) {
        ++lines;
      }
      last = buffer[n - 1];
    }
    if (last != '\n') ++lines;
  }
  std::fclose(file);
  return lines;
}

int TerminalWidth() {
  const int columns = platform::TerminalColumns();
  return columns > 0 ? columns : 80;
}

}  // namespace

bool ProgressWanted() { return platform::StandardErrorIsTerminal(); }

void AnnounceStoreWait(const std::string& storePath) {
  std::string pid, holder;
  if (!platform::FindLockHolder(LocalRegistryLockPath(), &pid, &holder)) return;
  if (holder.size() > 120) holder = holder.substr(0, 117) + "...";
  WriteToStderr("Waiting for Registry Store \"" + storePath + "\", in use by another run (process " +
                pid + (holder.empty() ? "" : ": " + holder) + ")\n");
}

ProgressHandlers::ProgressHandlers(OperationHandlers& inner, const ScriptState& state,
                                   std::string target, const std::string& inputPath)
    : inner_(inner),
      state_(state),
      target_(std::move(target)),
      totalLines_(CountLines(inputPath)),
      start_(std::chrono::steady_clock::now()),
      lastDraw_(start_) {
  previous_ = SetOutputSink(this);
}

ProgressHandlers::~ProgressHandlers() {
  Erase();
  SetOutputSink(previous_);
}

bool ProgressHandlers::LineDone() {
  bool ok = inner_.LineDone();
  if (++sinceCheck_ < kClockEvery) return ok;
  sinceCheck_ = 0;
  if (std::chrono::steady_clock::now() - lastDraw_ >= kRedrawInterval) Draw();
  return ok;
}

void ProgressHandlers::Draw() {
  auto now = std::chrono::steady_clock::now();
  lastDraw_ = now;
  double seconds = std::chrono::duration<double>(now - start_).count();
  int64_t lines = state_.lineNumber;
  char numbers[160];
  std::string share;
  if (totalLines_ > 0) {
    share = std::to_string(std::min<int64_t>(100, lines * 100 / totalLines_)) + "%  ";
  }
  long whole = static_cast<long>(seconds);
  std::snprintf(numbers, sizeof numbers, "  %lld lines  %s%.0f lines/s  %ld:%02ld",
                static_cast<long long>(lines), share.c_str(), seconds > 0 ? lines / seconds : 0.0,
                whole / 60, whole % 60);
  // One screen line, so that "\r" returns to its start: the target gives way first.
  size_t width = static_cast<size_t>(TerminalWidth()) - 1;
  std::string text = target_;
  if (text.size() + std::strlen(numbers) > width) {
    size_t keep = width > std::strlen(numbers) + 3 ? width - std::strlen(numbers) - 3 : 0;
    text = "..." + text.substr(text.size() - std::min(keep, text.size()));
  }
  text += numbers;
  if (text.size() > width) text.resize(width);
  WriteToStderr("\r\033[K" + text);
  drawn_ = true;
}

void ProgressHandlers::Erase() {
  if (drawn_) WriteToStderr("\r\033[K");
  drawn_ = false;
}

void ProgressHandlers::Write(std::string_view text) {
  Erase();
  previous_->Write(text);
}

void ProgressHandlers::Flush() { previous_->Flush(); }
