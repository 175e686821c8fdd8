// The platform interface on POSIX systems (Linux first): descriptors, stat identities,
// flock, posix_spawn over a socket pair, memory files and /proc names for open files.
#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

extern char** environ;

namespace platform {

namespace {

FileId IdOf(const struct stat& info) {
  return FileId{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino), true};
}

// Whether an fsync or fdatasync left the data kept. A pipe or a device such as /dev/null has
// no disk to reach (EINVAL): what was written to it is all there is.
bool Synced(int result) { return result == 0 || errno == EINVAL; }

bool WriteAllTo(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// A link is followed only when the running user or root owns it, as the kernel's protected
// links rule does in sticky folders: another user's link could point anywhere.
bool LinkIsTrusted(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
  return info.st_uid == 0 || info.st_uid == geteuid();
}

// Opens the folder `folderPath` (as SplitPath gives it) for the *at calls. Its last component
// may be a symbolic link only of the running user's or root's: another user's link there could
// send the files made in it anywhere.
int OpenFolder(const std::string& folderPath) {
  std::string folder = folderPath;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  if (!LinkIsTrusted(folder)) return -1;
  struct stat info;
  if (lstat(folder.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) flags |= O_NOFOLLOW;
  return open(folder.c_str(), flags);
}

// The file that `path` names when it is a symbolic link of the running user's or root's
// (`path` itself otherwise). False for another user's link.
bool ResolveTrustedLink(const std::string& path, std::string* target) {
  *target = path;
  if (!LinkIsTrusted(path)) return false;
  struct stat entry;
  if (lstat(path.c_str(), &entry) == 0 && S_ISLNK(entry.st_mode)) {
    if (char* real = realpath(path.c_str(), nullptr)) {
      *target = real;
      free(real);
    }
  }
  return true;
}

// Creates the temporary file "<name>.dorvalex-tmp" in the open folder `dir`, private to the
// running user. One fixed name per file: a run killed while it used it leaves a file that the
// next run with the same name recognises and removes (only a regular file of this user's).
// The descriptor, or -1.
int CreateTemporary(int dir, const std::string& temporary) {
  constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = openat(dir, temporary.c_str(), kCreate, 0600);
  struct stat stale;
  if (fd < 0 && errno == EEXIST &&
      fstatat(dir, temporary.c_str(), &stale, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(stale.st_mode) && stale.st_uid == geteuid() &&
      unlinkat(dir, temporary.c_str(), 0) == 0) {
    fd = openat(dir, temporary.c_str(), kCreate, 0600);
  }
  if (fd >= 0) (void)fchmod(fd, 0600);  // whatever the umask
  return fd;
}

// Puts a new empty file, private to the running user, in the place of the regular file
// `path` names (through a trusted link, the file the link names): made in the same folder and
// renamed over the name, so the old file's owner and mode never hold what is written. The
// descriptor, or -1.
int ReplaceWithNewFile(const std::string& path) {
  std::string target, folderPath, name;
  if (!ResolveTrustedLink(path, &target)) return -1;
  SplitPath(target, &folderPath, &name);
  const int dir = OpenFolder(folderPath);
  if (dir < 0) return -1;
  const std::string temporary = name + ".dorvalex-tmp";
  int fd = CreateTemporary(dir, temporary);
  if (fd >= 0 && renameat(dir, temporary.c_str(), dir, name.c_str()) != 0) {
    unlinkat(dir, temporary.c_str(), 0);
    close(fd);
    fd = -1;
  }
  if (fd >= 0) (void)fsync(dir);
  close(dir);
  return fd;
}

bool WaitExited(pid_t pid, int timeoutMs) {
  for (int waited = 0;; waited += 10) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return true;
    if (waited >= timeoutMs) return false;
    usleep(10 * 1000);
  }
}

}  // namespace

// Splits "a/b/c" into "a/" and "c"; a bare name lives in ".".
void SplitPath(const std::string& path, std::string* folder, std::string* name) {
  size_t slash = path.find_last_of('/');
  *folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

struct FileAccess {
  static void Adopt(File* file, int fd) {
    struct stat info;
    file->handle_ = fd;
    file->id_ = fstat(fd, &info) == 0 ? IdOf(info) : FileId{};
  }
  static int Fd(const File& file) { return static_cast<int>(file.handle_); }
};

Entry LookUpEntry(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) == 0) return Entry::kPresent;
  return errno == ENOENT ? Entry::kAbsent : Entry::kUnknown;
}

bool IdentifyFile(const std::string& path, FileId* id) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  *id = IdOf(info);
  return true;
}

bool IsRegularFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::vector<std::string> ListFolder(const std::string& folder) {
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

Failure LastFailure() {
  switch (errno) {
    case ENOENT: return Failure::kNotFound;
    case EACCES: case EPERM: case EROFS: return Failure::kAccessDenied;
    case ENOSPC: case EDQUOT: return Failure::kDiskFull;
    case ENOMEM: return Failure::kNoMemory;
    default: return Failure::kOther;
  }
}

bool StreamIsDirectory(std::FILE* stream) {
  struct stat info;
  return fstat(fileno(stream), &info) != 0 || S_ISDIR(info.st_mode);
}

bool StreamIsRegularFile(std::FILE* stream) {
  struct stat info;
  return fstat(fileno(stream), &info) == 0 && S_ISREG(info.st_mode);
}

bool CreateFolders(const std::string& folder, bool shared) {
  if (folder.empty()) return true;
  if (IsDirectory(folder)) return true;
  const mode_t mode = shared ? 0755 : 0700;
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    std::string prefix = folder.substr(0, slash);
    if (mkdir(prefix.c_str(), mode) == 0) {
      (void)chmod(prefix.c_str(), mode);  // whatever the umask took away or left
    } else if (errno != EEXIST) {
      return false;
    }
    if (slash == std::string::npos) return IsDirectory(folder);
  }
}

File::~File() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

File::File(File&& other) noexcept : handle_(other.handle_), id_(other.id_) { other.handle_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) close(static_cast<int>(handle_));
    handle_ = other.handle_;
    id_ = other.id_;
    other.handle_ = -1;
  }
  return *this;
}

bool File::Write(std::string_view bytes) {
  return handle_ >= 0 && WriteAllTo(static_cast<int>(handle_), bytes);
}

bool File::ReadAt(uint64_t offset, char* buffer, size_t size, size_t* got) {
  *got = 0;
  if (handle_ < 0) return false;
  while (*got < size) {
    ssize_t n = pread(static_cast<int>(handle_), buffer + *got, size - *got,
                      static_cast<off_t>(offset + *got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    *got += static_cast<size_t>(n);
  }
  return true;
}

bool File::Sync(bool metadata) {
  if (handle_ < 0) return false;
  const int fd = static_cast<int>(handle_);
  return Synced(metadata ? fsync(fd) : fdatasync(fd));
}

void File::StartSync() {
#ifdef SYNC_FILE_RANGE_WRITE
  // Pages already on their way are left alone; a length of 0 reaches the end of the file.
  if (handle_ >= 0)
    (void)sync_file_range(static_cast<int>(handle_), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

bool File::Close() {
  if (handle_ < 0) return true;
  const int result = close(static_cast<int>(handle_));
  handle_ = -1;
  return result == 0;
}

bool OpenForWriting(const std::string& path, Existing existing, File* file) {
  // A file created here is made private whatever the umask.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    (void)fchmod(fd, 0600);
  } else if (errno == EEXIST && existing == Existing::kTruncate) {
    // O_EXCL refused any entry, a symbolic link included; now only a trusted one is followed.
    // A regular file is replaced by a new one; a pipe or a device is written as it is.
    if (!LinkIsTrusted(path)) return false;
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      fd = ReplaceWithNewFile(path);
    } else {
      fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    }
  }
  if (fd < 0) return false;
  *file = File();
  FileAccess::Adopt(file, fd);
  return true;
}

bool OpenForReading(const std::string& path, File* file) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  const int error = fstat(fd, &info) != 0 ? errno : S_ISDIR(info.st_mode) ? EISDIR : 0;
  if (error != 0) {
    close(fd);
    errno = error;  // for LastFailure
    return false;
  }
  *file = File();
  FileAccess::Adopt(file, fd);
  return true;
}

bool CreateMemoryFile(File* file) {
  int fd = memfd_create("dorvalex", MFD_CLOEXEC);
  if (fd < 0) return false;
  *file = File();
  FileAccess::Adopt(file, fd);
  return true;
}

std::string ReachingPath(const File& file) {
  return file.IsOpen() ? "/proc/self/fd/" + std::to_string(FileAccess::Fd(file)) : "";
}

bool OpenForReading(const std::string& path, const FileId& expected, File* file) {
  if (!LinkIsTrusted(path)) return false;
  File opened;
  if (!OpenForReading(path, &opened) || !expected.valid || !(opened.id() == expected)) {
    return false;
  }
  *file = std::move(opened);
  return true;
}

Replaced ReplaceFile(const std::string& path, const FileId& expected,
                     const std::function<bool(File&)>& fill) {
  // Only a final link of the running user's or root's is followed, to the file it names.
  std::string target;
  if (!ResolveTrustedLink(path, &target)) return Replaced::kFailed;
  std::string folderPath, name;
  SplitPath(target, &folderPath, &name);
  // The folder stays open, so every later step works in the folder that held the file even
  // when a name on the way to it is changed meanwhile.
  File folder;
  int dir = OpenFolder(folderPath);
  if (dir < 0) return Replaced::kFailed;
  FileAccess::Adopt(&folder, dir);

  struct stat original;
  const bool hadOriginal = fstatat(dir, name.c_str(), &original, AT_SYMLINK_NOFOLLOW) == 0;
  if (expected.valid && !(hadOriginal && IdOf(original) == expected)) return Replaced::kFailed;

  const std::string temporary = name + ".dorvalex-tmp";
  const int fd = CreateTemporary(dir, temporary);
  if (fd < 0) return Replaced::kCannotCreate;
  File out;
  FileAccess::Adopt(&out, fd);
  const bool keepMode = hadOriginal && S_ISREG(original.st_mode);
  (void)fchmod(fd, keepMode ? original.st_mode & 07777 : 0600);

  bool ok = fill(out) && out.Sync(true);
  ok = out.Close() && ok;
  if (ok && expected.valid) {
    // The name must still name the file the run made; anything swapped in is left alone.
    struct stat now;
    ok = fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && IdOf(now) == expected;
  }
  ok = ok && renameat(dir, temporary.c_str(), dir, name.c_str()) == 0;
  if (!ok) {
    unlinkat(dir, temporary.c_str(), 0);
    return Replaced::kFailed;
  }
  (void)fsync(dir);  // makes the rename itself durable
  return Replaced::kDone;
}

namespace {

// Marks the temporary copies of StagedReplacement: ".<name>.dorvalex-XXXXXX".
constexpr std::string_view kStagedMark = ".dorvalex-";

// A private file for a new copy in `folder`: unnamed (O_TMPFILE) where the file system
// allows, so that a crash while it is written leaves nothing behind; else created exclusively
// under `*named`.
int CreateStaged(const std::string& folder, std::string* named) {
  int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  return mkostemp(named->data(), O_CLOEXEC);
}

}  // namespace

StagedReplacement::~StagedReplacement() {
  if (!temp_.empty() && !published_) unlink(temp_.c_str());
}

bool StagedReplacement::Prepare(const std::string& path,
                                const std::function<bool(const std::string&)>& write) {
  path_ = path;
  std::string folder, name;
  SplitPath(path, &folder, &name);
  if (folder == ".") folder = "./";
  std::string temp = folder + "." + name + std::string(kStagedMark) + "XXXXXX";
  int fd = CreateStaged(folder, &temp);
  if (fd < 0) return false;
  const bool unnamed = temp.ends_with("XXXXXX");
  if (!unnamed) temp_ = temp;
  const std::string reach = "/proc/self/fd/" + std::to_string(fd);
  int error = 0;  // of the step that failed, kept past the close for LastFailure
  auto failed = [&error] {
    error = errno;
    return false;
  };
  bool ok = write(reach);
  if (ok && fsync(fd) != 0) ok = failed();
  if (ok && unnamed) {
    // Named only now, once whole and on disk, for the rename over the original.
    int made = mkostemp(temp.data(), O_CLOEXEC);
    if (made < 0) {
      ok = failed();
    } else {
      close(made);
      unlink(temp.c_str());
      if (linkat(AT_FDCWD, reach.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) != 0)
        ok = failed();
      else
        temp_ = temp;
    }
  }
  if (close(fd) != 0 && ok) ok = failed();
  if (error != 0) errno = error;
  return ok;
}

bool StagedReplacement::Publish() {
  if (rename(temp_.c_str(), path_.c_str()) != 0) return false;
  published_ = true;
  return true;
}

bool StagedReplacement::Finish() {
  std::string folder, name;
  SplitPath(path_, &folder, &name);
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

void StagedReplacement::RemoveLeftovers(const std::string& folder) {
  for (const std::string& entry : ListFolder(folder)) {
    size_t mark = entry.rfind(kStagedMark);
    if (entry.starts_with('.') && mark != std::string::npos &&
        entry.size() == mark + kStagedMark.size() + 6) {
      unlink((folder + "/" + entry).c_str());
    }
  }
}

FileLock::~FileLock() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

FileLock::Result FileLock::Acquire(const std::string& path, int waitMs, bool create) {
  if (held_) return kLocked;
  if (handle_ < 0 && LinkIsTrusted(path)) {
    // Opened for writing: a user who may only read the file cannot take the lock.
    int fd = create ? open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)
                    : -1;
    if (fd >= 0) {
      (void)fchmod(fd, 0600);
    } else if (!create || errno == EEXIST) {
      fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
      // A folder cannot be opened for writing: one that this user may change is locked
      // through a read-only descriptor.
      if (fd < 0 && errno == EISDIR && access(path.c_str(), W_OK) == 0)
        fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    handle_ = fd;
  }
  if (handle_ < 0) return kUnavailable;
  const int fd = static_cast<int>(handle_);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      held_ = true;
      return kLocked;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) return kUnavailable;
    if (std::chrono::steady_clock::now() >= deadline) return kBusy;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

void FileLock::Release() {
  if (held_) flock(static_cast<int>(handle_), LOCK_UN);
  held_ = false;
}

Subprocess::~Subprocess() { Close(); }

bool Subprocess::Start(const std::vector<std::string>& argv) {
  int fds[2];
  if (argv.empty() || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    return false;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  // The program gets nothing of ours but the socket (no store, no backout file).
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(fds[1]);
  stream_ = fds[0];
  if (rc != 0) {
    Close();
    return false;
  }
  process_ = pid;
  return true;
}

namespace {

// Waits until `fd` is ready for `events`, for at most `timeoutMs` (negative: for ever).
// False when the time ran out first.
bool WaitReady(int fd, short events, int timeoutMs) {
  if (timeoutMs < 0) return true;
  for (;;) {
    pollfd p{fd, events, 0};
    int r = poll(&p, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;  // a signal: the wait starts again, still bounded
    return r != 0;  // an error shows at the read or write that follows
  }
}

}  // namespace

bool Subprocess::Send(std::string_view bytes) {
  if (stream_ < 0) return false;
  const int fd = static_cast<int>(stream_);
  while (!bytes.empty()) {
    if (!WaitReady(fd, POLLOUT, timeoutMs_)) return false;
    ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool Subprocess::ReceiveSome(char* buffer, size_t size, size_t* got) {
  if (stream_ < 0) return false;
  for (;;) {
    if (!WaitReady(static_cast<int>(stream_), POLLIN, timeoutMs_)) return false;
    ssize_t n = recv(static_cast<int>(stream_), buffer, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    *got = static_cast<size_t>(n);
    return true;
  }
}

void Subprocess::Close(int graceMs) {
  if (stream_ >= 0) {
    const int fd = static_cast<int>(stream_);
    shutdown(fd, SHUT_WR);
    // The program exits when its input closes; what it still sends is of no interest.
    char sink[4096];
    for (int waited = 0; waited < graceMs; waited += 100) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) > 0 && recv(fd, sink, sizeof sink, 0) <= 0) break;
    }
    close(fd);
    stream_ = -1;
  }
  if (process_ > 0) {
    const pid_t pid = static_cast<pid_t>(process_);
    if (!WaitExited(pid, graceMs)) {
      kill(pid, SIGKILL);
      WaitExited(pid, graceMs);
    }
    process_ = -1;
  }
}

void IgnoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }

bool ReadStandardInput(char* buffer, size_t size, size_t* got) {
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    *got = static_cast<size_t>(n);
    return true;
  }
}

bool WriteStandardOutput(std::string_view bytes) { return WriteAllTo(STDOUT_FILENO, bytes); }

bool WriteStandardError(std::string_view bytes) { return WriteAllTo(STDERR_FILENO, bytes); }

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

int TerminalColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 0;
}

bool FindLockHolder(const std::string& path, std::string* process, std::string* commandLine) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  // The kernel lists flock holders in /proc/locks as
  // "N: FLOCK ADVISORY WRITE PID MAJ:MIN:INODE 0 EOF" (waiters carry "->" and are skipped).
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string id, kind, advisory, mode, pid, where;
    if (!(fields >> id >> kind) || kind != "FLOCK") continue;
    if (!(fields >> advisory >> mode >> pid >> where) || mode != "WRITE") continue;
    unsigned devMajor = 0, devMinor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%llu", &devMajor, &devMinor, &inode) != 3) continue;
    if (devMajor != major(info.st_dev) || devMinor != minor(info.st_dev) ||
        inode != info.st_ino || pid == std::to_string(getpid())) {
      continue;
    }
    std::ifstream in("/proc/" + pid + "/cmdline", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!text.empty() && text.back() == '\0') text.pop_back();
    for (char& c : text) c = c == '\0' ? ' ' : c;
    *process = pid;
    *commandLine = text;
    return true;
  }
  return false;
}

std::string CurrentUserSid() { return "S-1-22-1-" + std::to_string(getuid()); }

bool IsAdministrator() { return geteuid() == 0; }

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  const passwd* entry = getpwuid(getuid());
  return entry && entry->pw_dir ? entry->pw_dir : "/";
}

}  // namespace platform
