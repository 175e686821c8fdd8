// POSIX side of the hive backend's file calls, kept in this one file.
#include "registry/hive/hive_disk.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

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

RegStatus StatusFromErrno(int error) {
  switch (error) {
    case ENOENT: return kErrorFileNotFound;
    case EACCES: case EPERM: case EROFS: return kErrorAccessDenied;
    case ENOSPC: case EDQUOT: return kErrorDiskFull;
    case ENOMEM: return kErrorNotEnoughMemory;
    default: return kErrorRegistryIoFailed;
  }
}

bool SyncFolder(const std::string& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

}  // namespace

RegStatus ReadHiveHeader(const std::string& path, HiveHeader* header) {
  *header = HiveHeader();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return StatusFromErrno(errno);
  uint8_t block[kBaseBlockSize];
  ssize_t got = pread(fd, block, sizeof block, 0);
  close(fd);
  if (got < 4 || std::memcmp(block, "regf", 4) != 0) return kErrorSuccess;
  header->isHive = true;
  if (got < static_cast<ssize_t>(sizeof block)) return kErrorSuccess;
  header->checksumRight = Checksum(block) == Word(block + kChecksumOffset);
  header->clean = Word(block + 4) == Word(block + 8) && header->checksumRight;
  header->minor = Word(block + 0x18);
  return kErrorSuccess;
}

RegStatus CopyWithChecksumSet(const std::string& path, int* fd) {
  int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return StatusFromErrno(errno);
  int out = memfd_create("hive", MFD_CLOEXEC);
  RegStatus status = out < 0 ? StatusFromErrno(errno) : kErrorSuccess;
  std::vector<uint8_t> buffer(1 << 20);
  for (off_t at = 0; status == kErrorSuccess;) {
    ssize_t got = pread(in, buffer.data(), buffer.size(), at);
    if (got <= 0) {
      if (got < 0) status = StatusFromErrno(errno);
      break;
    }
    if (at == 0 && got >= static_cast<ssize_t>(kBaseBlockSize)) {
      uint32_t checksum = Checksum(buffer.data());
      std::memcpy(buffer.data() + kChecksumOffset, &checksum, 4);
    }
    if (write(out, buffer.data(), got) != got) status = StatusFromErrno(errno);
    at += got;
  }
  close(in);
  if (status != kErrorSuccess) {
    if (out >= 0) close(out);
    return status;
  }
  *fd = out;
  return kErrorSuccess;
}

void CloseCopy(int fd) {
  if (fd >= 0) close(fd);
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

std::string FindCaseless(const std::string& folder, const std::string& name) {
  for (const std::string& entry : FolderEntries(folder)) {
    if (strcasecmp(entry.c_str(), name.c_str()) == 0) return folder + "/" + entry;
  }
  return "";
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

namespace {

constexpr std::string_view kTempMark = ".dorvalex-";

// The name a new copy of `name` is linked under just before it replaces the file.
std::string TempName(const std::string& folder, const std::string& name) {
  return folder + "/." + name + std::string(kTempMark) + "XXXXXX";
}

// A private file for the new copy: unnamed (O_TMPFILE) where the file system allows, so that a
// crash while it is written leaves nothing behind; else named and created exclusively.
int CreateTemp(const std::string& folder, std::string* named) {
  int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  return mkostemp(named->data(), O_CLOEXEC);
}

}  // namespace

Replacement::~Replacement() {
  if (!temp_.empty() && !published_) unlink(temp_.c_str());
}

RegStatus Replacement::Prepare(const std::string& path,
                               const std::function<RegStatus(const std::string&)>& write) {
  path_ = path;
  size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp = TempName(FolderOf(path), name);
  int fd = CreateTemp(FolderOf(path), &temp);
  if (fd < 0) return StatusFromErrno(errno);
  bool unnamed = temp.ends_with("XXXXXX");
  if (!unnamed) temp_ = temp;
  const std::string reach = "/proc/self/fd/" + std::to_string(fd);
  RegStatus status = write(reach);
  if (status == kErrorSuccess && fsync(fd) != 0) status = StatusFromErrno(errno);
  if (status == kErrorSuccess && unnamed) {
    // Named only now, once whole and on disk, for the rename over the original.
    int made = mkostemp(temp.data(), O_CLOEXEC);
    if (made < 0) {
      status = StatusFromErrno(errno);
    } else {
      close(made);
      unlink(temp.c_str());
      if (linkat(AT_FDCWD, reach.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) != 0)
        status = StatusFromErrno(errno);
      else
        temp_ = temp;
    }
  }
  if (close(fd) != 0 && status == kErrorSuccess) status = StatusFromErrno(errno);
  return status;
}

RegStatus Replacement::Publish() {
  if (rename(temp_.c_str(), path_.c_str()) != 0) return StatusFromErrno(errno);
  published_ = true;
  return kErrorSuccess;
}

RegStatus Replacement::Finish() {
  return SyncFolder(FolderOf(path_)) ? kErrorSuccess : kErrorRegistryIoFailed;
}

void RemoveLeftTemps(const std::string& folder) {
  for (const std::string& entry : FolderEntries(folder)) {
    size_t mark = entry.rfind(kTempMark);
    if (entry.starts_with('.') && mark != std::string::npos &&
        entry.size() == mark + kTempMark.size() + 6) {
      unlink((folder + "/" + entry).c_str());
    }
  }
}

