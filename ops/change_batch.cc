// Batched saving of a run's changes behind the backout file.
#include "ops/change_batch.h"

#include <cstdlib>

#include "report/report.h"

namespace {

constexpr uint32_t kDefaultMaxLines = 8192;
constexpr auto kMaxInterval = std::chrono::milliseconds(250);
// The clock is read once per this many lines.
constexpr uint32_t kClockEvery = 256;

uint32_t MaxLinesFromEnvironment() {
  const char* text = std::getenv("DORVALEX_SAVE_LINES");
  if (!text || !*text) return kDefaultMaxLines;
  char* end = nullptr;
  unsigned long lines = std::strtoul(text, &end, 10);
  return *end == '\0' && lines > 0 && lines <= kDefaultMaxLines * 16
             ? static_cast<uint32_t>(lines)
             : kDefaultMaxLines;
}

}  // namespace

ChangeBatch::ChangeBatch(RegistryService& registry, BackoutFile& backout,
                         const ScriptState& state)
    : registry_(registry), backout_(backout), state_(state), maxLines_(MaxLinesFromEnvironment()) {}

bool CheckStoreReadable(RegistryService& registry, const std::string& storePath) {
  // Inside a batch this read takes the write lock for the batch's transaction.
  KeyHandle root = kNoKey;
  RegStatus status = registry.RegOpenKeyA(kHkeyLocalMachine, "", &root);
  if (status == kErrorSuccess) {
    registry.RegCloseKey(root);
    return true;
  }
  if (status == kErrorBusy) {
    ReportSystemErrorF(status, "Registry Store \"%s\" is in use by another run",
                       storePath.c_str());
  } else {
    ReportSystemErrorF(status, "Unable to open Registry Store \"%s\"", storePath.c_str());
  }
  return false;
}

bool ChangeBatch::Begin(const std::string& storePath, bool checkStore) {
  storePath_ = storePath;
  checkStore_ = checkStore;
  RegStatus status = registry_.BeginChanges();
  if (status != kErrorSuccess) {
    ReportSystemErrorF(status, "Registry Store \"%s\" is in use by another run",
                       storePath_.c_str());
    return false;
  }
  begun_ = true;
  if (!HoldStore()) {
    registry_.EndChanges();
    begun_ = false;
    return false;
  }
  lastSave_ = std::chrono::steady_clock::now();
  return true;
}

bool ChangeBatch::SaveIfDue() {
  if (!begun_) return true;
  ++linesSinceSave_;
  if (!saved_ && linesSinceSave_ == 1) {
    // Until the first save, the first line's cost stands for a save's: a store that reads
    // whole files when first used (hives) also writes them whole.
    lastSaveCost_ = std::chrono::steady_clock::now() - lastSave_;
  }
  if (linesSinceSave_ % kClockEvery != 0 && linesSinceSave_ < maxLines_) return true;
  // A store that writes whole files (hives) may take long to save: saves then come no
  // sooner than four times their own cost apart, so that saving takes at most a fifth of the
  // run.
  auto sinceSave = std::chrono::steady_clock::now() - lastSave_;
  bool due = sinceSave >= 4 * lastSaveCost_ &&
             (linesSinceSave_ >= maxLines_ || sinceSave >= kMaxInterval);
  return !due || (Save() && HoldStore());
}

bool ChangeBatch::Finish() {
  if (!begun_) return true;
  bool saved = !failed_ && Save();
  registry_.EndChanges();
  begun_ = false;
  return saved;
}

bool ChangeBatch::Save() {
  // The records first: a change may reach the store only after its record reached the disk.
  if (backout_.IsOpen() && !backout_.Sync()) {
    registry_.DiscardChanges();
    failed_ = true;
    ReportErrorF("Registry changes after line %d were not saved", savedThrough_);
    return false;
  }
  auto started = std::chrono::steady_clock::now();
  RegStatus status = registry_.SaveChanges();
  if (status != kErrorSuccess) {
    ReportSystemErrorF(status, "Registry changes after line %d were not saved", savedThrough_);
    failed_ = true;
    return false;
  }
  savedThrough_ = state_.lineNumber;
  linesSinceSave_ = 0;
  ++saves_;
  lastSave_ = std::chrono::steady_clock::now();
  lastSaveCost_ = lastSave_ - started;
  saved_ = true;
  return true;
}

bool ChangeBatch::HoldStore() {
  return !checkStore_ || CheckStoreReadable(registry_, storePath_);
}
