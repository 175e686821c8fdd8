// Fuzzes the agent's input (greeting, frames, requests, run against a store in memory) and the
// client's decoding of answers: any bytes must end in an answer or a clean refusal.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "registry/remote/remote_agent.h"
#include "registry/sqlite/sqlite_registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 2) return 0;
  std::string_view input(reinterpret_cast<const char*>(bytes) + 2, size - 2);
  if (bytes[0] & 1) {
    // The client side: one answer to the call named by the second byte.
    RemoteResponse answer;
    DecodeResponse(static_cast<RemoteOp>(bytes[1] % 12), input, &answer);
    RemoteRequest request;
    DecodeRequest(input, &request);
    return 0;
  }
  // The agent side, fed in pieces whose size the second byte picks; a valid greeting is put in
  // front half of the time so that the frames behind it are reached.
  static std::unique_ptr<RegistryService> store = OpenSqliteRegistry(":memory:");
  AgentSession session(*store);
  std::string stream = (bytes[0] & 2) ? EncodeGreeting(kClientMagic) : std::string();
  stream.append(input);
  size_t piece = bytes[1] % 64 + 1;
  std::string out;
  std::string error;
  for (size_t at = 0; at < stream.size(); at += piece) {
    if (!session.Feed(std::string_view(stream).substr(at, piece), &out, &error)) break;
    out.clear();
  }
  return 0;
}
