// dorvalex-agent: serves the registry calls on this machine's default store over standard
// input and output, for a client that reached it through a remote shell. Exits when its input
// closes; a broken request ends it with a message on standard error.
#include <cstdio>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "registry/remote/remote_agent.h"
#include "registry/local_registry.h"

int main() {
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
    if (!ok) {
      std::fprintf(stderr, "dorvalex-agent: %s\n", error.c_str());
      return 1;
    }
  }
}
