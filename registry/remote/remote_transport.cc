// Starting the remote shell command with posix_spawn (never through a shell), and the byte
// stream to and from it over a socket pair.
#include "registry/remote/remote_transport.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr std::string_view kDefaultRsh = "ssh";
constexpr std::string_view kDefaultAgent = "dorvalex-agent";
// How long the process may take to end after our side closed, before it is made to.
constexpr int kExitGraceMs = 3000;

void AppendWords(std::string_view text, std::vector<std::string>* words) {
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
    if (i > start) words->emplace_back(text.substr(start, i - start));
  }
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

std::vector<std::string> TransportCommand(std::string_view rsh, std::string_view agent,
                                          const std::string& host) {
  std::vector<std::string> argv;
  AppendWords(rsh, &argv);
  if (argv.empty()) argv.emplace_back(kDefaultRsh);
  argv.emplace_back("--");
  argv.push_back(host);
  size_t before = argv.size();
  AppendWords(agent, &argv);
  if (argv.size() == before) argv.emplace_back(kDefaultAgent);
  return argv;
}

RemoteTransport::~RemoteTransport() { Close(); }

RegStatus RemoteTransport::Start(const std::vector<std::string>& argv) {
  int fds[2];
  if (argv.empty() || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    return kErrorBadNetPath;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  // The transport gets nothing of ours but the socket (no store, no backout file).
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  int rc = posix_spawnp(&pid_, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(fds[1]);
  fd_ = fds[0];
  if (rc != 0) {
    pid_ = -1;
    Close();
    return kErrorBadNetPath;
  }

  // The agent greets first without waiting for us, so both greetings cross in one round trip.
  bool sent = Send(EncodeGreeting(kClientMagic));
  while (sent && splitter_.pending() < kGreetingBytes && ReadSome()) {
  }
  std::string head(kGreetingBytes, '\0');
  uint32_t version = 0;
  if (!sent || !splitter_.TakeRaw(head.data(), head.size()) ||
      !DecodeGreeting(head, kAgentMagic, &version) || version != kProtocolVersion) {
    Close();
    return kErrorBadNetPath;
  }
  return kErrorSuccess;
}

bool RemoteTransport::Send(std::string_view bytes) {
  if (fd_ < 0) return false;
  while (!bytes.empty()) {
    ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool RemoteTransport::ReadSome() {
  if (fd_ < 0) return false;
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    splitter_.Append(buffer, static_cast<size_t>(n));
    return true;
  }
}

bool RemoteTransport::Receive(std::string* payload) {
  std::string_view frame;
  for (;;) {
    switch (splitter_.Next(&frame)) {
      case FrameSplitter::kFrame:
        payload->assign(frame);
        return true;
      case FrameSplitter::kOversized:
        return false;
      case FrameSplitter::kNeedMore:
        if (!ReadSome()) return false;
        break;
    }
  }
}

void RemoteTransport::Close() {
  if (fd_ >= 0) {
    shutdown(fd_, SHUT_WR);
    // The agent exits when its input closes; what it still sends is of no interest.
    char sink[4096];
    for (int waited = 0; waited < kExitGraceMs; waited += 100) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) > 0 && recv(fd_, sink, sizeof sink, 0) <= 0) break;
    }
    close(fd_);
    fd_ = -1;
  }
  if (pid_ > 0) {
    if (!WaitExited(pid_, kExitGraceMs)) {
      kill(pid_, SIGKILL);
      WaitExited(pid_, kExitGraceMs);
    }
    pid_ = -1;
  }
}
