// The platform interface on Windows: file handles, volume and file-index identities,
// FlushFileBuffers, MoveFileExA, LockFileEx, and the running user's token.
#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <io.h>
#include <windows.h>
#include <sddl.h>
// windows.h names its own ReplaceFile macro; the interface's function is meant here.
#undef ReplaceFile

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace platform {

namespace {

HANDLE AsHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Every handle lets others read, write and rename or delete the file, as POSIX descriptors
// do: the reversal renames over a backout file that a reader may still hold.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool InfoOf(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  return GetFileInformationByHandle(handle, info) != FALSE;
}

FileId IdOf(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!InfoOf(handle, &info)) return FileId{};
  return FileId{info.dwVolumeSerialNumber,
                (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow, true};
}

// Opens `path` for its attributes only; folders too. `follow` false opens a symbolic link or
// junction itself rather than what it names.
HANDLE OpenForInfo(const std::string& path, bool follow) {
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return CreateFileA(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
}

bool WriteAllTo(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD chunk = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

// The files the tool writes are text, and text lines on Windows end in CR LF: a line end
// that has no CR before it gets one (text read back from such a file keeps its CR LF).
bool WriteText(HANDLE handle, std::string_view text) {
  std::string lines;
  lines.reserve(text.size() + text.size() / 16);
  char previous = '\0';
  for (char c : text) {
    if (c == '\n' && previous != '\r') lines.push_back('\r');
    lines.push_back(c);
    previous = c;
  }
  return WriteAllTo(handle, lines);
}

// A security descriptor that lets only the running user at the file (as mode 0600 does), or
// null (the folder's inherited rights) when the user's identifier cannot be had.
class PrivateSecurity {
 public:
  PrivateSecurity() {
    std::string sid = CurrentUserSid();
    if (sid.empty()) return;
    std::string sddl = "D:P(A;;FA;;;" + sid + ")";
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                             &descriptor_, nullptr)) {
      attributes_.nLength = sizeof attributes_;
      attributes_.lpSecurityDescriptor = descriptor_;
      attributes_.bInheritHandle = FALSE;
    }
  }
  ~PrivateSecurity() {
    if (descriptor_) LocalFree(descriptor_);
  }
  PrivateSecurity(const PrivateSecurity&) = delete;
  PrivateSecurity& operator=(const PrivateSecurity&) = delete;
  SECURITY_ATTRIBUTES* get() { return descriptor_ ? &attributes_ : nullptr; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_ = {};
};

// Creates a new file; fails when any entry of that name is there, a link included.
HANDLE CreateNewFile(const std::string& path) {
  PrivateSecurity security;
  return CreateFileA(path.c_str(), GENERIC_WRITE, kShareAll, security.get(), CREATE_NEW,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// The file a link names, as a path; `path` itself when it is no link or cannot be resolved.
std::string FinalPath(const std::string& path) {
  HANDLE handle = OpenForInfo(path, /*follow=*/true);
  if (handle == INVALID_HANDLE_VALUE) return path;
  char buffer[MAX_PATH * 4];
  DWORD length = GetFinalPathNameByHandleA(handle, buffer, sizeof buffer,
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  CloseHandle(handle);
  if (length == 0 || length >= sizeof buffer) return path;
  std::string final(buffer, length);
  if (final.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + final.substr(8);
  if (final.rfind("\\\\?\\", 0) == 0) return final.substr(4);
  return final;
}

}  // namespace

// Splits "a\b\c" (either slash) into "a\" and "c"; a bare name lives in ".\".
void SplitPath(const std::string& path, std::string* folder, std::string* name) {
  size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos && path.size() >= 2 && path[1] == ':') slash = 1;
  *folder = slash == std::string::npos ? ".\\" : path.substr(0, slash + 1);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

struct FileAccess {
  static void Adopt(File* file, HANDLE handle) {
    file->handle_ = reinterpret_cast<intptr_t>(handle);
    file->id_ = IdOf(handle);
  }
};

Entry LookUpEntry(const std::string& path) {
  // The attributes of a link or junction itself: it is never followed here.
  if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return Entry::kPresent;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                 error == ERROR_INVALID_NAME
             ? Entry::kAbsent
             : Entry::kUnknown;
}

bool IdentifyFile(const std::string& path, FileId* id) {
  HANDLE handle = OpenForInfo(path, /*follow=*/true);
  if (handle == INVALID_HANDLE_VALUE) return false;
  *id = IdOf(handle);
  CloseHandle(handle);
  return id->valid;
}

bool IsRegularFile(const std::string& path) {
  HANDLE handle = OpenForInfo(path, /*follow=*/true);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool regular = GetFileType(handle) == FILE_TYPE_DISK && InfoOf(handle, &info) &&
                 !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  CloseHandle(handle);
  return regular;
}

bool IsDirectory(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::string> ListFolder(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

Failure LastFailure() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: return Failure::kNotFound;
    case ERROR_ACCESS_DENIED: case ERROR_WRITE_PROTECT: return Failure::kAccessDenied;
    case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL: return Failure::kDiskFull;
    case ERROR_NOT_ENOUGH_MEMORY: case ERROR_OUTOFMEMORY: return Failure::kNoMemory;
    default: return Failure::kOther;
  }
}

bool StreamIsDirectory(std::FILE* stream) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (handle == INVALID_HANDLE_VALUE) return true;
  if (GetFileType(handle) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info;
  return !InfoOf(handle, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool StreamIsRegularFile(std::FILE* stream) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info;
  return InfoOf(handle, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateFolders(const std::string& folder, bool shared) {
  if (folder.empty() || IsDirectory(folder)) return true;
  PrivateSecurity security;
  for (size_t slash = folder.find_first_of("\\/", 1);; slash = folder.find_first_of("\\/", slash + 1)) {
    std::string prefix = folder.substr(0, slash);
    // A drive ("C:") or a folder that is there already needs nothing.
    if (!IsDirectory(prefix)) {
      CreateDirectoryA(prefix.c_str(), shared ? nullptr : security.get());
    }
    if (slash == std::string::npos) return IsDirectory(folder);
  }
}

File::~File() {
  if (handle_ >= 0) CloseHandle(AsHandle(handle_));
}

File::File(File&& other) noexcept : handle_(other.handle_), id_(other.id_) { other.handle_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) CloseHandle(AsHandle(handle_));
    handle_ = other.handle_;
    id_ = other.id_;
    other.handle_ = -1;
  }
  return *this;
}

bool File::Write(std::string_view bytes) {
  return handle_ >= 0 && WriteText(AsHandle(handle_), bytes);
}

bool File::ReadAt(uint64_t offset, char* buffer, size_t size, size_t* got) {
  *got = 0;
  if (handle_ < 0) return false;
  while (*got < size) {
    // On a handle opened for synchronous access the read waits and starts at the offset given.
    OVERLAPPED where = {};
    const uint64_t at = offset + *got;
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    const size_t left = size - *got;
    DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD read = 0;
    if (!ReadFile(AsHandle(handle_), buffer + *got, chunk, &read, &where)) {
      return GetLastError() == ERROR_HANDLE_EOF;
    }
    if (read == 0) break;
    *got += read;
  }
  return true;
}

bool File::Sync(bool /*metadata*/) {
  if (handle_ < 0) return false;
  // A console, pipe or device has no disk to reach: what was written to it is all there is.
  if (GetFileType(AsHandle(handle_)) != FILE_TYPE_DISK) return true;
  return FlushFileBuffers(AsHandle(handle_)) != FALSE;
}

void File::StartSync() {}  // FlushFileBuffers only ever waits

bool File::Close() {
  if (handle_ < 0) return true;
  BOOL closed = CloseHandle(AsHandle(handle_));
  handle_ = -1;
  return closed != FALSE;
}

namespace {

// A new empty private file in the place of the plain file `path`: made beside it and moved
// over the name, so the old file's rights never hold what is written. It is opened again by
// its name once moved (a handle that was moved loses its volume under Wine), and only if the
// name still names it. Its handle, or INVALID_HANDLE_VALUE.
HANDLE ReplaceWithNewFile(const std::string& path) {
  const std::string temporary = path + ".dorvalex-tmp";
  HANDLE handle = CreateNewFile(temporary);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS &&
      DeleteFileA(temporary.c_str())) {
    handle = CreateNewFile(temporary);  // a stale one left by a killed run
  }
  if (handle == INVALID_HANDLE_VALUE) return handle;
  const FileId created = IdOf(handle);
  CloseHandle(handle);
  if (!created.valid || !MoveFileExA(temporary.c_str(), path.c_str(),
                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileA(temporary.c_str());
    return INVALID_HANDLE_VALUE;
  }
  handle = CreateFileA(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle != INVALID_HANDLE_VALUE && !(IdOf(handle) == created)) {
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
  return handle;
}

}  // namespace

bool OpenForWriting(const std::string& path, Existing existing, File* file) {
  HANDLE handle = CreateNewFile(path);
  if (handle == INVALID_HANDLE_VALUE && existing == Existing::kTruncate &&
      (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)) {
    // The entry itself, never what a link or junction names: a link is refused, as is a
    // folder; a plain file is replaced by a new private one.
    handle = CreateFileA(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) == FILE_TYPE_DISK) {  // not a device, which stays open as it is
      const bool plain = InfoOf(handle, &info) &&
                         !(info.dwFileAttributes &
                           (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
      CloseHandle(handle);
      handle = plain ? ReplaceWithNewFile(path) : INVALID_HANDLE_VALUE;
    }
  }
  if (handle == INVALID_HANDLE_VALUE) return false;
  *file = File();
  FileAccess::Adopt(file, handle);
  return true;
}

bool OpenForReading(const std::string& path, File* file) {
  // Without backup semantics a folder does not open.
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  *file = File();
  FileAccess::Adopt(file, handle);
  return true;
}

bool OpenForReading(const std::string& path, const FileId& expected, File* file) {
  // The entry itself, never what a link or junction names.
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  File opened;
  FileAccess::Adopt(&opened, handle);
  if (!expected.valid || !(opened.id() == expected)) return false;
  *file = std::move(opened);
  return true;
}

Replaced ReplaceFile(const std::string& path, const FileId& expected,
                     const std::function<bool(File&)>& fill) {
  const std::string target = FinalPath(path);
  std::string folder, name;
  SplitPath(target, &folder, &name);
  // One fixed name per file: a run killed during its rewrite leaves a temporary file that the
  // next rewrite of the same name removes.
  const std::string temporary = folder + name + ".dorvalex-tmp";
  File out;
  HANDLE handle = CreateNewFile(temporary);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS &&
      DeleteFileA(temporary.c_str())) {
    handle = CreateNewFile(temporary);
  }
  if (handle != INVALID_HANDLE_VALUE) FileAccess::Adopt(&out, handle);
  if (!out.IsOpen()) return Replaced::kCannotCreate;

  bool ok = fill(out) && out.Sync(true);
  ok = out.Close() && ok;
  if (ok && expected.valid) {
    // The name must still name the file the run made; anything swapped in is left alone.
    HANDLE now = OpenForInfo(target, /*follow=*/false);
    ok = now != INVALID_HANDLE_VALUE && IdOf(now) == expected;
    if (now != INVALID_HANDLE_VALUE) CloseHandle(now);
  }
  // Write-through: the call returns once the new name is on the disk.
  ok = ok && MoveFileExA(temporary.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) {
    DeleteFileA(temporary.c_str());
    return Replaced::kFailed;
  }
  return Replaced::kDone;
}

FileLock::~FileLock() {
  Release();
  if (handle_ >= 0) CloseHandle(AsHandle(handle_));
}

// The locked byte lies far beyond any data, where no other lock of the file reaches.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

FileLock::Result FileLock::Acquire(const std::string& path, int waitMs, bool create) {
  if (held_) return kLocked;
  if (handle_ < 0) {
    // Opened for writing: a user who may only read the file cannot take the lock.
    HANDLE handle = create ? CreateNewFile(path) : INVALID_HANDLE_VALUE;
    if (handle == INVALID_HANDLE_VALUE) {
      handle = CreateFileA(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) return kUnavailable;
    handle_ = reinterpret_cast<intptr_t>(handle);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    OVERLAPPED where = {};
    where.OffsetHigh = kLockOffsetHigh;
    if (LockFileEx(AsHandle(handle_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1,
                   0, &where)) {
      held_ = true;
      return kLocked;
    }
    if (GetLastError() != ERROR_LOCK_VIOLATION) return kUnavailable;
    if (std::chrono::steady_clock::now() >= deadline) return kBusy;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

void FileLock::Release() {
  if (held_) {
    OVERLAPPED where = {};
    where.OffsetHigh = kLockOffsetHigh;
    UnlockFileEx(AsHandle(handle_), 0, 1, 0, &where);
  }
  held_ = false;
}

bool WriteStandardError(std::string_view bytes) {
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && WriteAllTo(handle, bytes);
}

bool StandardErrorIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE;
}

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

// The Windows build keeps no store file of its own, so no run of it holds such a lock.
bool FindLockHolder(const std::string&, std::string*, std::string*) { return false; }

std::string CurrentUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return "";
  std::string sid;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::string buffer(size, '\0');
  if (size && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    char* text = nullptr;
    if (ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
      sid = text;
      LocalFree(text);
    }
  }
  CloseHandle(token);
  return sid;
}

bool IsAdministrator() {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                0, 0, 0, 0, 0, &administrators)) {
    return false;
  }
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
  FreeSid(administrators);
  return member != FALSE;
}

std::string HomeFolder() {
  const char* home = std::getenv("USERPROFILE");
  return home != nullptr && *home != '\0' ? home : "C:\\";
}

}  // namespace platform
