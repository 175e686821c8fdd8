// An agent that lies, for the client's hardening tests: it greets as the real agent does and
// answers opens truthfully, then answers according to DX_LIE:
//   "size"    value queries and enumerations claim 0xFFFFFFF0 bytes ("buffer too small");
//   "info"    key information claims the longest value is 0xFFFFFFF0 bytes;
//   "name"    enumerated values claim a name of 4,000 bytes that they do not carry;
//   "silent"  after the first open, it reads on but never answers again.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "registry/remote/remote_protocol.h"

namespace {

bool WriteAll(std::string_view bytes) {
  for (ssize_t n = 0; !bytes.empty(); bytes.remove_prefix(static_cast<size_t>(n)))
    if ((n = write(STDOUT_FILENO, bytes.data(), bytes.size())) <= 0) return false;
  return true;
}

}  // namespace

int main() {
  const char* mode = std::getenv("DX_LIE");
  const std::string lie = mode ? mode : "size";
  if (!WriteAll(EncodeGreeting(kAgentMagic))) return 1;
  FrameSplitter splitter;
  char buffer[1 << 16];
  bool greeted = false, opened = false;
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) return 0;
    splitter.Append(buffer, static_cast<size_t>(n));
    if (!greeted) {
      char head[kGreetingBytes];
      if (!splitter.TakeRaw(head, sizeof head)) continue;
      greeted = true;
    }
    std::string_view payload;
    while (splitter.Next(&payload) == FrameSplitter::kFrame) {
      RemoteRequest q;
      if (!DecodeRequest(payload, &q)) return 1;
      if (lie == "silent" && opened) continue;
      RemoteResponse a;
      switch (q.op) {
        case RemoteOp::kCreateKey:
        case RemoteOp::kOpenKeyEx:
        case RemoteOp::kOpenKey:
          opened = true;
          break;
        case RemoteOp::kEnumValue:
          if (lie == "name") {
            a.nameSize = 4000;
            break;
          }
          [[fallthrough]];
        case RemoteOp::kQueryValue:
          a.status = lie == "size" ? kErrorMoreData : kErrorFileNotFound;
          a.size = lie == "size" ? 0xFFFFFFF0u : 0;
          break;
        case RemoteOp::kQueryInfoKey:
          a.maxValueLength = lie == "info" ? 0xFFFFFFF0u : 0;
          break;
        default:
          break;
      }
      std::string out;
      AppendFrame(EncodeResponse(q.op, a), &out);
      if (!WriteAll(out)) return 1;
    }
  }
}
