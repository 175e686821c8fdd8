// The few operating-system services the tool needs (files, sync, atomic replace, locks,
// spawning, the current user), behind one interface so that nothing above this folder
// includes a system header. platform_posix.cc implements it; a Windows build adds its own.
#ifndef DORVALEX_PLATFORM_PLATFORM_H_
#define DORVALEX_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// What identifies one file whatever name reaches it: device and inode on POSIX, volume
// serial number and file index on Windows. Two valid identities are equal only for one file.
struct FileId {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool valid = false;
  friend bool operator==(const FileId&, const FileId&) = default;
};

// Whether a directory entry is there, looked at without following a final symbolic link.
enum class Entry { kAbsent, kPresent, kUnknown /* cannot tell, e.g. no search access */ };
Entry LookUpEntry(const std::string& path);

// The identity of the file `path` names, following links. False when it cannot be found.
bool IdentifyFile(const std::string& path, FileId* id);
// Whether two paths name one existing file (through links or other spellings).
bool SameFile(const std::string& a, const std::string& b);
// Whether two paths name one directory entry: one existing file, or the same name in the same
// folder (so also a file that does not exist yet, such as a log created later beside another).
bool SameEntry(const std::string& a, const std::string& b);
// Whether `path` names (through links) a regular file, or a folder.
bool IsRegularFile(const std::string& path);
bool IsDirectory(const std::string& path);
// Whether an open stream reads a folder (some systems open folders for reading), or a
// regular file.
bool StreamIsDirectory(std::FILE* stream);
bool StreamIsRegularFile(std::FILE* stream);

// The names of the entries of `folder` ("." and ".." left out); empty when it cannot be read.
std::vector<std::string> ListFolder(const std::string& folder);

// Why the last failed file call of this thread (opening, reading, creating, replacing) failed,
// as far as callers tell failures apart.
enum class Failure { kNotFound, kAccessDenied, kDiskFull, kNoMemory, kOther };
Failure LastFailure();

// Creates `folder` and its missing parents. New folders are private to the running user
// (0700) unless `shared` (0755). True also when the folder already exists.
bool CreateFolders(const std::string& folder, bool shared);

// An open file. Movable, closed by its destructor (without reporting).
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool IsOpen() const { return handle_ >= 0; }
  // The identity the file had when opened (valid once open).
  const FileId& id() const { return id_; }
  // Writes all of `bytes`. False on any failure (full disk, closed pipe).
  [[nodiscard]] bool Write(std::string_view bytes);
  // Reads up to `size` bytes from `offset` into `buffer` without moving the file position;
  // *got is less than `size` only at the end of the file. False on failure.
  [[nodiscard]] bool ReadAt(uint64_t offset, char* buffer, size_t size, size_t* got);
  // Puts the data on the disk itself; `metadata` also the file's size and times (fsync rather
  // than fdatasync). A pipe or a device has no disk to reach: that counts as success.
  [[nodiscard]] bool Sync(bool metadata = false);
  // Starts putting what was written so far on the disk without waiting for it, so that a
  // later Sync has less left to wait for. Nothing where the system has no such call; a
  // failure shows at the Sync.
  void StartSync();
  // Closes the file; false when the system reports a failure (a late write error).
  [[nodiscard]] bool Close();

 private:
  friend struct FileAccess;
  intptr_t handle_ = -1;  // a descriptor on POSIX, a HANDLE on Windows
  FileId id_;
};

// A private file in memory with no name on any disk, open for reading and writing, for a
// library that only reads files by name (see ReachingPath). False when the system offers none
// (see LastFailure). A POSIX build only: the offline hive backend is its one user.
[[nodiscard]] bool CreateMemoryFile(File* file);
// A name that reaches the open `file` itself, whatever name it has or lacks on disk ("" when
// there is none). A POSIX build only.
std::string ReachingPath(const File& file);

// How OpenForWriting treats a file that is already there.
enum class Existing { kRefuse, kTruncate };

// Opens `path` for writing. A new file is private to the running user (0600) whatever the
// umask. With kRefuse any existing entry (a link included) fails the call. With kTruncate an
// existing regular file is replaced by a new empty private one (made in its folder and renamed
// over the name, so the old file's owner and mode never hold what is written), and a pipe or
// a device is written as it is; a symbolic link owned by another user (not root) is never
// followed. False when the file cannot be opened; nothing is reported.
[[nodiscard]] bool OpenForWriting(const std::string& path, Existing existing, File* file);
// Opens `path` for reading. False when it cannot be opened or is a folder (see LastFailure).
[[nodiscard]] bool OpenForReading(const std::string& path, File* file);
// Opens for reading the file with identity `expected` (one the run created) through `path`:
// false unless the opened file is that file, and a symbolic link owned by another user (not
// root) is never followed.
[[nodiscard]] bool OpenForReading(const std::string& path, const FileId& expected, File* file);

// Replaces the file `path` names by new content, so that at every moment the name holds
// either the whole old file or the whole new one. The folder is opened once and used for every
// later step; it is not reached through a symbolic link (as its last component) that another
// user owns. The content goes to the temporary file "<name>.dorvalex-tmp" created privately
// in that folder (a stale one of the running user's, left by a killed run, is removed first),
// is synced, takes the old file's mode, and is renamed over the name; the folder is then
// synced. Through a symbolic link of the running user's or root's, the file the link names is
// replaced and the link stays; another user's link is refused.
// When `expected` is valid, the replace happens only if the name still names that file at the
// moment of the rename (the identity recorded when the run created it), so a file swapped in
// meanwhile is never overwritten. `fill` writes the content; false from it aborts. On any
// failure the old file stays as it was and no temporary file is left. Nothing is reported:
// kCannotCreate says the temporary file could not be made, kFailed anything later.
enum class Replaced { kDone, kCannotCreate, kFailed };
[[nodiscard]] Replaced ReplaceFile(const std::string& path, const FileId& expected,
                                   const std::function<bool(File&)>& fill);

// A new copy of a file, written whole and synced under a temporary name beside it, then
// renamed over the file: a crash leaves the old file or the new one, never a mix. Several
// files are replaced together by preparing all before publishing any. Unlike ReplaceFile the
// content is written by name, for a library that writes only to names. Every step returns
// false on failure (see LastFailure). A POSIX build only: the offline hive backend is its one
// user.
class StagedReplacement {
 public:
  StagedReplacement() = default;
  StagedReplacement(const StagedReplacement&) = delete;
  StagedReplacement& operator=(const StagedReplacement&) = delete;
  // Removes the copy unless it was published.
  ~StagedReplacement();

  // `write` fills a private temporary file beside `path` through the name it is given (which
  // reaches the open file); the file is then synced and named. The file has no name until it
  // is whole, where the file system allows. False from `write` ends the preparation.
  [[nodiscard]] bool Prepare(const std::string& path,
                             const std::function<bool(const std::string& tempPath)>& write);
  // Renames the copy over the file.
  [[nodiscard]] bool Publish();
  // Syncs the folder, so that the rename outlasts a crash of the machine.
  [[nodiscard]] bool Finish();

  // Removes the temporary files that a killed run may have left in `folder` (call it holding
  // the folder's lock).
  static void RemoveLeftovers(const std::string& folder);

 private:
  std::string path_;
  std::string temp_;
  bool published_ = false;
};

// An exclusive advisory lock on a file, held until Release or destruction. It never meets
// the byte-range locks that SQLite takes on the same file. Only a user who may write the file
// can take it (the file is opened for writing), so a reader cannot keep writers waiting.
class FileLock {
 public:
  enum Result { kLocked, kBusy, kUnavailable /* the file cannot be opened or locked here */ };
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  // Waits up to `waitMs` for the lock on `path`. The file is opened once and kept open until
  // destruction: closing a descriptor of a SQLite file would drop SQLite's own locks on it.
  // With `create` a missing file is created private to the running user (0600); another
  // user's symbolic link is never followed. A file is opened for writing, so that a user who
  // may only read it cannot take the lock; a folder may be locked by a user who may change it.
  Result Acquire(const std::string& path, int waitMs, bool create = false);
  void Release();

 private:
  intptr_t handle_ = -1;
  bool held_ = false;
};

// A program started without a shell, its standard input and output joined to one two-way
// byte stream of ours; its standard error is ours; nothing else of ours is inherited.
class Subprocess {
 public:
  Subprocess() = default;
  // Closes as Close(kDefaultGraceMs) does.
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  static constexpr int kDefaultGraceMs = 3000;
  // Starts `argv` (argv[0] is searched on the PATH). False when it cannot be started.
  bool Start(const std::vector<std::string>& argv);
  // Sends all of `bytes`. False: the stream is gone (never a signal).
  bool Send(std::string_view bytes);
  // Waits for some bytes and puts up to `size` of them in `buffer`. False: the stream ended
  // or failed.
  bool ReceiveSome(char* buffer, size_t size, size_t* got);
  // Send and ReceiveSome give up (false) after `ms` milliseconds in which the program took
  // or gave nothing; negative (the default): they wait for as long as it takes.
  void SetTimeout(int ms) { timeoutMs_ = ms; }
  // Ends our side, discards what the program still sends for up to `graceMs`, waits for it
  // to exit and makes it exit when it takes longer.
  void Close(int graceMs = kDefaultGraceMs);

 private:
  intptr_t stream_ = -1;
  intptr_t process_ = -1;
  int timeoutMs_ = -1;
};

// The process's own standard streams, for a program that talks over them (the agent).
// A reader that went away shows as a failed write, never as a signal.
void IgnoreBrokenPipes();
// Reads some bytes of standard input into `buffer`: *got is 0 at its end. False on failure.
bool ReadStandardInput(char* buffer, size_t size, size_t* got);
bool WriteStandardOutput(std::string_view bytes);
// Standard error written directly (unbuffered), for a progress line; whether it is a terminal
// and how many columns that terminal has (0 when unknown).
bool WriteStandardError(std::string_view bytes);
bool StandardErrorIsTerminal();
int TerminalColumns();

// Another process that holds the exclusive FileLock on `path`: its process id and command
// line (blanks between the words; "" when unknown). False when none is found or the system
// does not tell.
bool FindLockHolder(const std::string& path, std::string* process, std::string* commandLine);

// The running user: a security identifier in the registry's text form (on POSIX
// "S-1-22-1-<uid>", the form other tools use for Unix users), whether the user holds the
// machine's administrator rights, and the user's home folder.
std::string CurrentUserSid();
bool IsAdministrator();
std::string HomeFolder();

}  // namespace platform

#endif  // DORVALEX_PLATFORM_PLATFORM_H_
