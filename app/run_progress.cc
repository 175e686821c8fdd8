// The progress line and the store-wait notice, written straight to standard error.
#include "app/run_progress.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

// Ten redraws a second at most; the clock is read once per this many lines.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr uint32_t kClockEvery = 64;

void WriteToStderr(std::string_view text) {
  while (!text.empty()) {
    ssize_t n = write(STDERR_FILENO, text.data(), text.size());
    if (n <= 0) return;  // a progress line is never worth failing the run for
    text.remove_prefix(static_cast<size_t>(n));
  }
}

// Physical lines of a regular file ("\n" bytes, plus a last line without one); 0 otherwise.
int64_t CountLines(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return 0;
  struct stat info;
  int64_t lines = 0;
  if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode)) {
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
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// The command line of process `pid`, blanks between its words, or "" when it cannot be read.
std::string CommandLineOf(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/cmdline", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  for (char& c : text) c = c == '\0' ? ' ' : c;
  if (text.size() > 120) text = text.substr(0, 117) + "...";
  return text;
}

}  // namespace

bool ProgressWanted() { return isatty(STDERR_FILENO) == 1; }

void AnnounceStoreWait(const std::string& storePath) {
  struct stat info;
  if (stat(storePath.c_str(), &info) != 0) return;
  // The run lock is a flock on the store file; the kernel lists its holder in /proc/locks as
  // "N: FLOCK ADVISORY WRITE PID MAJ:MIN:INODE 0 EOF" (waiters carry "->" and are skipped).
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string id, kind, advisory, mode, pid, where;
    if (!(fields >> id >> kind) || kind != "FLOCK") continue;
    if (!(fields >> advisory >> mode >> pid >> where) || mode != "WRITE") continue;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    if (major != major(info.st_dev) || minor != minor(info.st_dev) || inode != info.st_ino ||
        pid == std::to_string(getpid())) {
      continue;
    }
    std::string holder = CommandLineOf(pid);
    WriteToStderr("Waiting for Registry Store \"" + storePath + "\", in use by another run (process " +
                  pid + (holder.empty() ? "" : ": " + holder) + ")\n");
    return;
  }
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
