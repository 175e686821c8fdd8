// The agent's side of a connection: checks the client's greeting, decodes request frames,
// runs each as one call on the store it serves and encodes the answers. It runs registry calls
// and nothing else.
#ifndef DORVALEX_REGISTRY_REMOTE_REMOTE_AGENT_H_
#define DORVALEX_REGISTRY_REMOTE_REMOTE_AGENT_H_

#include <string>
#include <string_view>
#include <unordered_map>

#include "registry/remote/remote_protocol.h"
#include "registry/registry_service.h"

// An open brings the values of its key along when there are at most this many, of at most
// this many bytes in all; a value line then needs no round trip of its own to read the old
// value.
inline constexpr uint32_t kPrefetchMaxValues = 256;
inline constexpr uint32_t kPrefetchMaxBytes = 64u << 10;
// Keys one client may hold open at once: enough for a walk down the deepest key path (512
// levels) with room to spare. The store bounds what the listing windows of all open keys keep
// together (16 MiB), so a session's memory does not grow with the keys it holds open.
inline constexpr size_t kAgentMaxOpenKeys = 1024;

class AgentSession {
 public:
  explicit AgentSession(RegistryService& store) : store_(store) {}
  ~AgentSession();
  AgentSession(const AgentSession&) = delete;
  AgentSession& operator=(const AgentSession&) = delete;

  // What the agent sends before it reads anything.
  static std::string Greeting() { return EncodeGreeting(kAgentMagic); }

  // Takes the next bytes of input and appends the answers to every whole request to *out.
  // False once the input broke the protocol (bad greeting, malformed, oversized frame); *error
  // then says how, and the connection must end. Answers made before that are still in *out.
  bool Feed(std::string_view bytes, std::string* out, std::string* error);
  // True when the input so far ends between frames; an end of input elsewhere is a truncation.
  bool AtFrameBoundary() const {
    return greeted_ ? splitter_.pending() == 0 : greeting_.empty();
  }

 private:
  bool HandleRequest(std::string_view payload, std::string* out, std::string* error);
  RemoteResponse Run(const RemoteRequest& q, bool* violation);
  // The store's handle for a key id of the client, or kNoKey.
  KeyHandle Resolve(uint64_t key) const;
  // Registers a key the store just opened under the client's id.
  RegStatus Adopt(uint64_t id, KeyHandle opened);
  void Prefetch(KeyHandle key, RemoteResponse* response);
  void Collect(KeyHandle key, RemoteResponse* response);

  RegistryService& store_;
  FrameSplitter splitter_;
  std::string greeting_;
  bool greeted_ = false;
  std::unordered_map<uint64_t, KeyHandle> keys_;
  bool batching_ = false;  // the client began a batch that it has not ended
};

#endif  // DORVALEX_REGISTRY_REMOTE_REMOTE_AGENT_H_
