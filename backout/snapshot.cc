// The key snapshot: a key, its values and all its subkeys written depth first as UPDATE
// records, so that applying them recreates the key as it was.
#include "backout/snapshot.h"

#include <string>
#include <vector>

#include "report/report.h"
#include "script/value_text.h"

namespace {

// Records of one key are gathered and written in pieces of about this size: they all come
// before the change they undo, and one write per record would cost a system call each.
constexpr size_t kWriteChunk = 64 * 1024;

// Room added to the lengths the key reports, as a margin for a value that grows meanwhile.
constexpr uint32_t kSlack = 10;

class Snapshot {
 public:
  Snapshot(KeyAccess& keys, BackoutFile& out, const MachineName& machine, Spinner* spinner)
      : keys_(keys), registry_(keys.registry()), out_(out), machine_(machine),
        spinner_(spinner) {}

  bool Take(const std::string& path);

 private:
  bool Fail(RegStatus status, const std::string& path, KeyHandle key);
  bool WriteValues(KeyHandle key, const std::string& path, uint32_t nameLength,
                   uint32_t dataLength);
  bool Flush();
  void TurnSpinner();

  KeyAccess& keys_;
  RegistryService& registry_;
  BackoutFile& out_;
  const MachineName& machine_;
  Spinner* spinner_;
  std::string pending_;
};

bool Snapshot::Flush() {
  if (pending_.empty()) return true;
  bool written = out_.Write(pending_);
  pending_.clear();
  return written;
}

// Reports a key that cannot be read completely. Without a spinner this fails the snapshot, so
// a key is never deleted on the strength of a partial copy.
bool Snapshot::Fail(RegStatus status, const std::string& path, KeyHandle key) {
  if (spinner_ == nullptr) {
    ReportSystemErrorF(status, "Could not get Key information for \"%s\"", path.c_str());
  } else {
    ReportErrorAfterProgressF("Couldn't save \"%s\"\nContinuing ...", path.c_str());
  }
  if (key != kNoKey) registry_.RegCloseKey(key);
  return false;
}

void Snapshot::TurnSpinner() {
  if (spinner_->position > 3) spinner_->position = 0;
  PrintF("\b%c", spinner_->characters[spinner_->position]);
  ++spinner_->position;
}

bool Snapshot::WriteValues(KeyHandle key, const std::string& path, uint32_t nameLength,
                           uint32_t dataLength) {
  std::vector<char> name(nameLength + kSlack);
  std::vector<uint8_t> data(dataLength + kSlack);
  for (uint32_t index = 0;;) {
    uint32_t nameSize = static_cast<uint32_t>(name.size());
    uint32_t dataSize = static_cast<uint32_t>(data.size());
    uint32_t type = 0;
    RegStatus status =
        registry_.RegEnumValueA(key, index, name.data(), &nameSize, &type, data.data(), &dataSize);
    if (status == kErrorNoMoreItems) return true;
    if (status == kErrorMoreData) {
      // A value larger than the key reported (it grew meanwhile): read it again, whole.
      uint32_t maxName = 0;
      uint32_t maxData = 0;
      status = registry_.RegQueryInfoKeyA(key, nullptr, &maxName, &maxData);
      if (status != kErrorSuccess) return Fail(status, path, key);
      if (maxName + kSlack <= name.size() && maxData + kSlack <= data.size()) {
        return Fail(kErrorMoreData, path, key);
      }
      name.resize(std::max<size_t>(name.size(), maxName + kSlack));
      data.resize(std::max<size_t>(data.size(), maxData + kSlack));
      continue;
    }
    if (status != kErrorSuccess) return Fail(status, path, key);
    pending_.append("UPDATE:\"")
        .append(EscapeValueName(std::string_view(name.data(), nameSize)))
        .append("\"=")
        .append(FormatValueForRecord(
            type, std::string_view(reinterpret_cast<const char*>(data.data()), dataSize)))
        .push_back('\n');
    if (pending_.size() >= kWriteChunk && !Flush()) {
      registry_.RegCloseKey(key);
      return false;
    }
    ++index;
  }
}

bool Snapshot::Take(const std::string& path) {
  KeyHandle key = kNoKey;
  if (!keys_.OpenKeyPath(path, &key, true, machine_)) {
    ReportErrorF("Could not open key to backout: \"%s\"", path.c_str());
    return false;
  }
  // The header goes first, so that a key that cannot be read still shows in the file.
  pending_.append("\nUPDATE:[").append(path).append("]\n");
  uint32_t subkeyLength = 0;
  uint32_t nameLength = 0;
  uint32_t dataLength = 0;
  RegStatus status = key == kNoKey
                         ? kErrorFileNotFound
                         : registry_.RegQueryInfoKeyA(key, &subkeyLength, &nameLength, &dataLength);
  if (status != kErrorSuccess) {
    if (!Flush()) return false;
    return Fail(status, path, key);
  }
  if (!WriteValues(key, path, nameLength, dataLength)) return false;
  if (!Flush()) {
    registry_.RegCloseKey(key);
    return false;
  }

  std::vector<char> child(subkeyLength + kSlack);
  for (uint32_t index = 0;;) {
    status = registry_.RegEnumKeyA(key, index, child.data(), static_cast<uint32_t>(child.size()));
    if (status == kErrorNoMoreItems) break;
    if (status == kErrorMoreData) {
      uint32_t longest = 0;
      status = registry_.RegQueryInfoKeyA(key, &longest, nullptr, nullptr);
      if (status != kErrorSuccess) return Fail(status, path, key);
      if (longest + kSlack <= child.size()) return Fail(kErrorMoreData, path, key);
      child.resize(longest + kSlack);
      continue;
    }
    if (status != kErrorSuccess) return Fail(status, path, key);
    if (spinner_ != nullptr) TurnSpinner();
    std::string childPath = path;
    childPath.append("\\").append(child.data());
    bool saved = Take(childPath);
    // A write that failed ends every snapshot: nothing later could be kept anyway.
    if ((!saved && spinner_ == nullptr) || out_.failed()) {
      registry_.RegCloseKey(key);
      return false;
    }
    ++index;
  }
  registry_.RegCloseKey(key);
  return true;
}

}  // namespace

bool SnapshotKey(KeyAccess& keys, BackoutFile& out, std::string_view path,
                 const MachineName& machine, Spinner* spinner) {
  Snapshot snapshot(keys, out, machine, spinner);
  return snapshot.Take(std::string(path));
}
