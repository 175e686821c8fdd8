// The hive backend's file work, on the platform layer: the base block read and checked, the
// private copy, the caseless folder lookup, and platform failures turned into the registry's
// codes.
#include "registry/hive/hive_disk.h"

#include <cstring>
#include <vector>

#include "base/ascii_case.h"

namespace {

constexpr size_t kBaseBlockSize = 4096;
constexpr size_t kChecksumOffset = 0x1FC;

uint32_t Word(const uint8_t* at) {
  return at[0] | at[1] << 8 | at[2] << 16 | static_cast<uint32_t>(at[3]) << 24;
}

uint32_t Checksum(const uint8_t* block) {
  uint32_t checksum = 0;
  for (size_t at = 0; at < kChecksumOffset; at += 4) checksum ^= Word(block + at);
  // The format maps the two values a plain XOR cannot be to others.
  if (checksum == 0xFFFFFFFF) checksum = 0xFFFFFFFE;
  if (checksum == 0) checksum = 1;
  return checksum;
}

// The code of the platform call that just failed.
RegStatus LastFailureStatus() {
  switch (platform::LastFailure()) {
    case platform::Failure::kNotFound: return kErrorFileNotFound;
    case platform::Failure::kAccessDenied: return kErrorAccessDenied;
    case platform::Failure::kDiskFull: return kErrorDiskFull;
    case platform::Failure::kNoMemory: return kErrorNotEnoughMemory;
    case platform::Failure::kOther: break;
  }
  return kErrorRegistryIoFailed;
}

}  // namespace

RegStatus ReadHiveHeader(const std::string& path, HiveHeader* header) {
  *header = HiveHeader();
  platform::File file;
  if (!platform::OpenForReading(path, &file)) {
    RegStatus status = LastFailureStatus();
    // A folder has no content to read: it is no hive.
    return platform::IsDirectory(path) ? kErrorSuccess : status;
  }
  uint8_t block[kBaseBlockSize];
  size_t got = 0;
  if (!file.ReadAt(0, reinterpret_cast<char*>(block), sizeof block, &got)) got = 0;
  if (got < 4 || std::memcmp(block, "regf", 4) != 0) return kErrorSuccess;
  header->isHive = true;
  if (got < sizeof block) return kErrorSuccess;
  header->checksumRight = Checksum(block) == Word(block + kChecksumOffset);
  header->clean = Word(block + 4) == Word(block + 8) && header->checksumRight;
  header->minor = Word(block + 0x18);
  return kErrorSuccess;
}

RegStatus CopyWithChecksumSet(const std::string& path, platform::File* copy) {
  platform::File in;
  if (!platform::OpenForReading(path, &in)) return LastFailureStatus();
  platform::File out;
  if (!platform::CreateMemoryFile(&out)) return LastFailureStatus();
  std::vector<uint8_t> buffer(1 << 20);
  for (uint64_t at = 0;;) {
    size_t got = 0;
    if (!in.ReadAt(at, reinterpret_cast<char*>(buffer.data()), buffer.size(), &got))
      return LastFailureStatus();
    if (got == 0) break;
    if (at == 0 && got >= kBaseBlockSize) {
      uint32_t checksum = Checksum(buffer.data());
      std::memcpy(buffer.data() + kChecksumOffset, &checksum, 4);
    }
    if (!out.Write(std::string_view(reinterpret_cast<const char*>(buffer.data()), got)))
      return LastFailureStatus();
    at += got;
  }
  *copy = std::move(out);
  return kErrorSuccess;
}

std::string FindCaseless(const std::string& folder, const std::string& name) {
  for (const std::string& entry : platform::ListFolder(folder)) {
    if (EqualsIgnoringCase(entry, name)) return folder + "/" + entry;
  }
  return "";
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

RegStatus Replacement::Prepare(const std::string& path,
                               const std::function<RegStatus(const std::string&)>& write) {
  RegStatus written = kErrorSuccess;
  bool prepared = staged_.Prepare(path, [&](const std::string& temp) {
    written = write(temp);
    return written == kErrorSuccess;
  });
  if (prepared) return kErrorSuccess;
  return written != kErrorSuccess ? written : LastFailureStatus();
}

RegStatus Replacement::Publish() {
  return staged_.Publish() ? kErrorSuccess : LastFailureStatus();
}

RegStatus Replacement::Finish() {
  return staged_.Finish() ? kErrorSuccess : kErrorRegistryIoFailed;
}
