// dorvalex-agent: serves the registry calls on this machine's default store over standard
// input and output, for a client that reached it through a remote shell. Exits when its input
// closes; a broken request ends it with a message on standard error.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "registry/remote/remote_agent.h"
#include "registry/local_registry.h"

namespace {

constexpr char kHelp[] =
    "dorvalex-agent: the far end of `dorvalex /MACHINE:HOST`.\n"
    "\n"
    "dorvalex starts it on HOST through a remote shell (ssh -- HOST dorvalex-agent) and sends\n"
    "it registry calls over standard input; it answers on standard output and works on HOST's\n"
    "default registry store ($DORVALEX_REGISTRY, else /var/lib/dorvalex/registry.db for root,\n"
    "else ~/.local/share/dorvalex/registry.db) with the rights of the user ssh logged in.\n"
    "It is not meant to be run by hand: it speaks a binary protocol and exits when its input\n"
    "closes. The backout file of such a run is written on the machine where dorvalex runs.\n"
    "\n"
    "Options: --help, -h  this text;  --version  the version.\n"
    "The manual page tells more: man dorvalex-agent\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("dorvalex-agent " DX_VERSION);
      return 0;
    }
  }
  if (argc > 1) {
    std::fprintf(stderr, "dorvalex-agent: unknown argument \"%s\" (see dorvalex-agent --help)\n",
                 argv[1]);
    return 1;
  }
  // A client that goes away shows as a failed write, not as a signal.
  platform::IgnoreBrokenPipes();
  std::unique_ptr<RegistryService> store = OpenLocalRegistry();
  AgentSession session(*store);
  if (!platform::WriteStandardOutput(AgentSession::Greeting())) return 1;

  std::string buffer(1 << 16, '\0');
  std::string out;
  std::string error;
  for (;;) {
    size_t n = 0;
    if (!platform::ReadStandardInput(buffer.data(), buffer.size(), &n)) {
      std::perror("dorvalex-agent: read");
      return 1;
    }
    if (n == 0) {
      if (session.AtFrameBoundary()) return 0;
      std::fputs("dorvalex-agent: input ended inside a request\n", stderr);
      return 1;
    }
    out.clear();
    bool ok = session.Feed(std::string_view(buffer.data(), n), &out, &error);
    // Answers to the requests before a broken one still go out, so that the client sees
    // exactly where the stream broke.
    if (!platform::WriteStandardOutput(out)) return 1;
    // The buffer of a large answer (a value of many MiB) is not kept for the rest of the
    // session: only the answer being sent is held.
    if (out.capacity() > buffer.size()) std::string().swap(out);
    if (!ok) {
      std::fprintf(stderr, "dorvalex-agent: %s\n", error.c_str());
      return 1;
    }
  }
}
