// The key snapshot: a key, its values and all its subkeys written depth first as UPDATE
// records, so that applying them recreates the key as it was.
#include "backout/snapshot.h"

#include <algorithm>
#include <string>
#include <vector>

#include "backout/record_format.h"
#include "report/report.h"

namespace {

// Records are gathered and written in pieces of about this size: one write per record, or
// per key, would cost a system call each. All of them are written before SnapshotKey returns,
// and so before the change they undo.
constexpr size_t kWriteChunk = 64 * 1024;

// Spinner steps are printed in groups of this many bytes (two per step), and whenever records
// are written or a report is due, so that the console shows them in their order.
constexpr size_t kSpinnerChunk = 512;

// Room added to the lengths the key reports, as a margin for a value that grows meanwhile.
constexpr uint32_t kSlack = 10;

// A key of the walk, closed however its level ends.
class WalkKey {
 public:
  explicit WalkKey(RegistryService& registry) : registry_(registry) {}
  ~WalkKey() {
    if (key_ != kNoKey) registry_.RegCloseKey(key_);
  }
  WalkKey(const WalkKey&) = delete;
  WalkKey& operator=(const WalkKey&) = delete;
  KeyHandle get() const { return key_; }
  KeyHandle* out() { return &key_; }

 private:
  RegistryService& registry_;
  KeyHandle key_ = kNoKey;
};

class Snapshot {
 public:
  Snapshot(KeyOpener& keys, BackoutFile& out, std::string_view path, const MachineName& machine,
           Spinner* spinner)
      : path_(path), keys_(keys), registry_(keys.registry()), out_(out), machine_(machine),
        spinner_(spinner) {}

  // Writes the key whose full path is path_, and all below it; path_ is as it was after.
  bool Take();
  // Writes what is still gathered. False when a write failed (reported by the file).
  bool Flush();

 private:
  bool Fail(RegStatus status);
  // Writes the values of `key`, and gives the longest subkey name for the walk below it.
  bool WriteValues(KeyHandle key, uint32_t* subkeyLength);
  // The values through RegEnumValueA, into buffers of the lengths the key reports.
  bool EnumerateValues(KeyHandle key, uint32_t nameLength, uint32_t dataLength);
  // Adds one value's record. False when the snapshot must stop (after the report).
  bool AddValue(std::string_view name, uint32_t type, std::string_view data);
  void TurnSpinner();
  void PrintSpinner();

  std::string path_;  // the key being written; each level appends its child and removes it
  KeyOpener& keys_;
  RegistryService& registry_;
  BackoutFile& out_;
  const MachineName& machine_;
  Spinner* spinner_;
  std::string pending_;   // records not yet written
  std::string spinning_;  // spinner steps not yet printed
  bool stopped_ = false;  // AddValue stopped the listing of the current key
  // Buffers of the value loop and the subkey loop, reused by every key of the walk: they only
  // grow, to the longest name and value met.
  std::vector<char> name_;
  std::vector<uint8_t> data_;
  std::vector<char> child_;
};

void Snapshot::PrintSpinner() {
  if (spinning_.empty()) return;
  Print(spinning_);
  spinning_.clear();
}

bool Snapshot::Flush() {
  PrintSpinner();  // a failed write reports on the console: after the steps before it
  if (pending_.empty()) return !out_.failed();
  bool written = out_.Write(pending_);
  pending_.clear();
  return written;
}

// Reports a key that cannot be read completely. Without a spinner this fails the snapshot, so
// a key is never deleted on the strength of a partial copy.
bool Snapshot::Fail(RegStatus status) {
  PrintSpinner();
  if (spinner_ == nullptr) {
    ReportSystemErrorF(status, "Could not get Key information for \"%s\"", path_.c_str());
  } else {
    ReportErrorAfterProgressF("Couldn't save \"%s\"\nContinuing ...", path_.c_str());
  }
  return false;
}

void Snapshot::TurnSpinner() {
  if (spinner_->position > 3) spinner_->position = 0;
  spinning_.push_back('\b');
  spinning_.push_back(spinner_->characters[spinner_->position]);
  ++spinner_->position;
  if (spinning_.size() >= kSpinnerChunk) PrintSpinner();
}

bool Snapshot::AddValue(std::string_view name, uint32_t type, std::string_view data) {
  if (!RecordableName(name)) {
    // No record could bring it back: the key is not deleted; a full backup goes on without it.
    Fail(kErrorInvalidParameter);
    return spinner_ != nullptr;
  }
  AppendValueRecord(name, DefaultName::kQuoted, type, data, &pending_);
  return pending_.size() < kWriteChunk || Flush();
}

bool Snapshot::WriteValues(KeyHandle key, uint32_t* subkeyLength) {
  stopped_ = false;
  RegStatus status = registry_.ListValues(
      key, [this](std::string_view name, uint32_t type, std::string_view data) {
        stopped_ = !AddValue(name, type, data);
        return !stopped_;
      });
  if (status == kErrorNotSupported) {
    uint32_t nameLength = 0;
    uint32_t dataLength = 0;
    status = registry_.RegQueryInfoKeyA(key, subkeyLength, &nameLength, &dataLength);
    if (status != kErrorSuccess) return Fail(status);
    return EnumerateValues(key, nameLength, dataLength);
  }
  if (stopped_) return false;
  // A listing that failed part way leaves the records before it; the key is reported.
  if (status == kErrorSuccess)
    status = registry_.RegQueryInfoKeyA(key, subkeyLength, nullptr, nullptr);
  return status == kErrorSuccess || Fail(status);
}

bool Snapshot::EnumerateValues(KeyHandle key, uint32_t nameLength, uint32_t dataLength) {
  if (name_.size() < nameLength + kSlack) name_.resize(nameLength + kSlack);
  if (data_.size() < dataLength + kSlack) data_.resize(dataLength + kSlack);
  for (uint32_t index = 0;;) {
    uint32_t nameSize = static_cast<uint32_t>(name_.size());
    uint32_t dataSize = static_cast<uint32_t>(data_.size());
    uint32_t type = 0;
    RegStatus status = registry_.RegEnumValueA(key, index, name_.data(), &nameSize, &type,
                                               data_.data(), &dataSize);
    if (status == kErrorNoMoreItems) return true;
    if (status == kErrorMoreData) {
      // A value larger than the key reported (it grew meanwhile): read it again, whole.
      uint32_t maxName = 0;
      uint32_t maxData = 0;
      status = registry_.RegQueryInfoKeyA(key, nullptr, &maxName, &maxData);
      if (status != kErrorSuccess) return Fail(status);
      if (maxName + kSlack <= name_.size() && maxData + kSlack <= data_.size()) {
        return Fail(kErrorMoreData);
      }
      name_.resize(std::max<size_t>(name_.size(), maxName + kSlack));
      data_.resize(std::max<size_t>(data_.size(), maxData + kSlack));
      continue;
    }
    if (status != kErrorSuccess) return Fail(status);
    if (!AddValue(std::string_view(name_.data(), nameSize), type,
                  std::string_view(reinterpret_cast<const char*>(data_.data()), dataSize))) {
      return false;
    }
    ++index;
  }
}

bool Snapshot::Take() {
  if (out_.failed()) return false;  // reported when it failed; nothing more could be kept
  WalkKey opened(registry_);
  if (!keys_.OpenExistingKey(path_, opened.out(), machine_)) {
    PrintSpinner();
    ReportErrorF("Could not open key to backout: \"%s\"", path_.c_str());
    return false;
  }
  // The header goes first, so that a key that cannot be read still shows in the file.
  AppendBlockHeader(RecordKind::kUpdate, path_, &pending_);
  const KeyHandle key = opened.get();
  if (key == kNoKey) return Fail(kErrorFileNotFound);
  uint32_t subkeyLength = 0;
  if (!WriteValues(key, &subkeyLength)) return false;
  if (pending_.size() >= kWriteChunk && !Flush()) return false;  // headers of keys without values

  if (child_.size() < subkeyLength + kSlack) child_.resize(subkeyLength + kSlack);
  const size_t pathLength = path_.size();
  for (uint32_t index = 0;;) {
    RegStatus status =
        registry_.RegEnumKeyA(key, index, child_.data(), static_cast<uint32_t>(child_.size()));
    if (status == kErrorNoMoreItems) break;
    if (status == kErrorMoreData) {
      uint32_t longest = 0;
      status = registry_.RegQueryInfoKeyA(key, &longest, nullptr, nullptr);
      if (status != kErrorSuccess) return Fail(status);
      if (longest + kSlack <= child_.size()) return Fail(kErrorMoreData);
      child_.resize(longest + kSlack);
      continue;
    }
    if (status != kErrorSuccess) return Fail(status);
    if (!RecordableName(child_.data())) {
      Fail(kErrorInvalidParameter);
      if (spinner_ == nullptr) return false;
      ++index;
      continue;
    }
    if (spinner_ != nullptr) TurnSpinner();
    path_.append("\\").append(child_.data());
    bool saved = Take();
    path_.resize(pathLength);
    // A write that failed ends every snapshot: nothing later could be kept anyway.
    if ((!saved && spinner_ == nullptr) || out_.failed()) return false;
    ++index;
  }
  return true;
}

}  // namespace

bool SnapshotKey(KeyOpener& keys, BackoutFile& out, std::string_view path,
                 const MachineName& machine, Spinner* spinner) {
  Snapshot snapshot(keys, out, path, machine, spinner);
  const bool taken = snapshot.Take();
  // Whatever was read is written, also after a failure: a header with no records shows the
  // key that could not be read.
  return snapshot.Flush() && taken;
}
