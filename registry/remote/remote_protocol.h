// The wire format between the remote backend and the registry agent: a greeting from each
// side, then frames of a 32-bit little-endian length and a payload. A request names one
// registry call and its arguments; its response, sent in the same order, holds the result code
// and the outputs. Nothing here trusts a length it has not checked against what is left.
#ifndef DORVALEX_REGISTRY_REMOTE_REMOTE_PROTOCOL_H_
#define DORVALEX_REGISTRY_REMOTE_REMOTE_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "registry/win32_codes.h"

inline constexpr uint32_t kProtocolVersion = 2;
// No frame, in either direction, is longer than this (payload bytes).
inline constexpr uint32_t kMaxFrameBytes = 64u << 20;
// Value data and names travel inside one frame, with room left for the other fields.
inline constexpr uint32_t kMaxWireValueBytes = kMaxFrameBytes - (1u << 20);
inline constexpr uint32_t kMaxWireNameBytes = 1u << 19;

// A greeting is 8 bytes of magic and the 32-bit protocol version of the side that sends it.
inline constexpr size_t kGreetingBytes = 12;
inline constexpr std::string_view kClientMagic{"DXREG-C\n", 8};
inline constexpr std::string_view kAgentMagic{"DXREG-A\n", 8};

std::string EncodeGreeting(std::string_view magic);
// True when `bytes` (kGreetingBytes long) carries `magic`; *version is then its version.
bool DecodeGreeting(std::string_view bytes, std::string_view magic, uint32_t* version);

enum class RemoteOp : uint8_t {
  kCreateKey = 1,
  kOpenKeyEx = 2,
  kOpenKey = 3,
  kQueryValue = 4,
  kSetValue = 5,
  kDeleteValue = 6,
  kDeleteKey = 7,
  kEnumKey = 8,
  kEnumValue = 9,
  kQueryInfoKey = 10,
  kCloseKey = 11,
  // A run's batch on the agent's store (see RegistryService::BeginChanges): the agent holds
  // the store for the run and saves only when told that the records of the changes are safe.
  kBeginChanges = 12,
  kSaveChanges = 13,
  kEndChanges = 14,
};

// Which pointer outputs the caller passed (query, enumeration and key information calls), and
// whether an open should bring the key's values along.
inline constexpr uint8_t kWantType = 1;
inline constexpr uint8_t kWantData = 2;
inline constexpr uint8_t kWantSize = 4;
inline constexpr uint8_t kWantSubkeyLength = 1;
inline constexpr uint8_t kWantNameLength = 2;
inline constexpr uint8_t kWantValueLength = 4;
inline constexpr uint8_t kWantValues = 1;

// One call. For queries and enumerations the capacities and `type` are the caller's values of
// its outputs, which the agent hands the store as they are, so that what the store leaves
// untouched comes back untouched. `key` is the parent or the key: a predefined root or an id the client gave to an
// earlier open. Opens carry the id the new key is to be known by (`newKey`), so that calls on
// it can follow in the same message before the answer is back.
struct RemoteRequest {
  RemoteOp op = RemoteOp::kCloseKey;
  uint64_t key = 0;
  uint64_t newKey = 0;
  std::string name;  // subkey or value name
  uint32_t options = 0;
  uint32_t access = 0;
  uint32_t index = 0;
  uint32_t type = 0;
  uint32_t reserved = 0;
  uint32_t nameCapacity = 0;
  uint32_t dataCapacity = 0;
  uint8_t flags = 0;
  std::string data;
};

struct WireValue {
  std::string name;
  uint32_t type = 0;
  std::string data;
};

// The answer to one call; which fields travel depends on the call.
struct RemoteResponse {
  RegStatus status = 0;
  uint32_t type = 0;
  // The outputs as the store left them (query, enumeration), whatever the code.
  uint32_t size = 0;      // value byte count
  uint32_t nameSize = 0;  // enumerated value name length
  uint32_t maxSubkeyLength = 0;
  uint32_t maxNameLength = 0;
  uint32_t maxValueLength = 0;
  std::string name;
  std::string data;
  bool hasValues = false;  // an open that brought every value of the key
  std::vector<WireValue> values;
};

// Payloads (without the length prefix). Decoding fails on an unknown call, a field that runs
// past the payload, bytes left over, or a length above the limits.
std::string EncodeRequest(const RemoteRequest& request);
bool DecodeRequest(std::string_view payload, RemoteRequest* request);
std::string EncodeResponse(RemoteOp op, const RemoteResponse& response);
bool DecodeResponse(RemoteOp op, std::string_view payload, RemoteResponse* response);

// Appends the length prefix and `payload` to `out`.
void AppendFrame(std::string_view payload, std::string* out);

// Cuts frames out of a byte stream that arrives in pieces.
class FrameSplitter {
 public:
  void Append(const char* bytes, size_t count) { buffer_.append(bytes, count); }
  // kFrame: *payload holds the next frame (valid until the next Append or Next). kNeedMore:
  // not a whole frame yet. kOversized: the prefix announces more than kMaxFrameBytes; the stream is unusable.
  enum Result { kFrame, kNeedMore, kOversized };
  Result Next(std::string_view* payload);
  // Takes `count` bytes off the front unframed (the greeting). False when fewer are there.
  bool TakeRaw(char* bytes, size_t count);
  // Bytes received but not yet handed out as frames.
  size_t pending() const { return buffer_.size() - start_; }

 private:
  std::string buffer_;
  size_t start_ = 0;
};

#endif  // DORVALEX_REGISTRY_REMOTE_REMOTE_PROTOCOL_H_
