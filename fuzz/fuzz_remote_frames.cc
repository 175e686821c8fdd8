// Fuzzes both ends of the agent protocol: the agent's input, run against a store in memory, and
// the client's registry calls against a fake agent whose answers come from the input. Nothing
// may crash, and no answer may reach the client's caller as more than the caller asked for.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "registry/remote/remote_agent.h"
#include "registry/remote/remote_registry.h"
#include "registry/remote/remote_transport.h"
#include "registry/sqlite/sqlite_registry.h"

namespace {

void Check(bool condition, int line = __builtin_LINE()) {
  if (condition) return;
  std::fprintf(stderr, "check of line %d failed\n", line);
  std::abort();
}

uint32_t AnySize(FuzzedDataProvider& in) {
  return in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 600)
                          : in.ConsumeIntegral<uint32_t>();
}

// Answers each request the client sent, in order, as the input says.
class FakeAgent final : public AgentConnection {
 public:
  FakeAgent(FuzzedDataProvider& in, bool* undecodable) : in_(in), undecodable_(undecodable) {}
  void SetTimeout(int) override {}
  RegStatus Start(const std::vector<std::string>&) override {
    return in_.ConsumeIntegral<uint8_t>() < 8 ? kErrorBadNetPath : kErrorSuccess;
  }
  bool Send(std::string_view bytes) override {
    sent_.Append(bytes.data(), bytes.size());
    std::string_view frame;
    RemoteRequest q;
    while (sent_.Next(&frame) == FrameSplitter::kFrame) {
      Check(DecodeRequest(frame, &q));  // the client sends nothing malformed
      asked_.push_back(q.op);
    }
    return true;
  }
  bool Receive(std::string* payload) override {
    Check(!asked_.empty());  // nor waits for an answer to nothing
    RemoteOp op = asked_.front();
    asked_.pop_front();
    RemoteResponse a;
    switch (in_.ConsumeIntegralInRange(0, 7)) {
      case 0:
        return false;
      case 1:
        *payload = in_.ConsumeRandomLengthString(64);
        *undecodable_ = *undecodable_ || !DecodeResponse(op, *payload, &a);
        return true;
    }
    // Any code but 1722, so that a 1722 the client returns is always its own.
    a.status = in_.PickValueInArray({0, 2, 5, 6, 8, 87, 234, 259, 1010});
    a.type = in_.ConsumeIntegral<uint32_t>();
    for (uint32_t* size : {&a.size, &a.nameSize, &a.maxSubkeyLength, &a.maxNameLength,
                           &a.maxValueLength})
      *size = AnySize(in_);
    a.name = in_.ConsumeRandomLengthString(300);
    a.data = in_.ConsumeRandomLengthString(600);
    a.hasValues = in_.ConsumeBool();
    for (int n = in_.ConsumeIntegralInRange(0, 3); n > 0; --n)
      a.values.push_back({in_.ConsumeRandomLengthString(8), 1, in_.ConsumeRandomLengthString(8)});
    *payload = EncodeResponse(op, a);
    return true;
  }
  void Close() override {}

 private:
  FuzzedDataProvider& in_;
  bool* undecodable_;
  FrameSplitter sent_;
  std::deque<RemoteOp> asked_;
};

// A caller's calls on two hosts, each answer checked as the tool would use it: no size beyond
// the value limit or the caller's buffer, and an answer that does not decode ends with 1722.
void DriveClient(FuzzedDataProvider& in) {
  bool undecodable = false;
  RemoteRegistry client([&] { return std::make_unique<FakeAgent>(in, &undecodable); }, -1);
  std::vector<KeyHandle> keys = {kNoKey, 12345};
  std::vector<uint8_t> data(1024);
  char name[300];
  while (in.remaining_bytes() > 0) {
    const KeyHandle key = keys[in.ConsumeIntegralInRange<size_t>(0, keys.size() - 1)];
    const std::string text = in.ConsumeRandomLengthString(16);
    const bool wantData = in.ConsumeBool();
    uint32_t size = in.ConsumeIntegralInRange<uint32_t>(0, 1024), room = size, type = 0;
    uint32_t nameSize = in.ConsumeIntegralInRange(0, 300), given = nameSize, sizes[3] = {};
    KeyHandle opened = kNoKey;
    RegStatus status = 0;
    undecodable = false;
    switch (in.ConsumeIntegralInRange(0, 10)) {
      case 0:
        status = client.RegConnectRegistryA(in.ConsumeBool() ? "A" : "B",
                                            kHkeyClassesRoot + in.ConsumeIntegralInRange(0, 5),
                                            &opened);
        break;
      case 1:
        status = in.ConsumeBool() ? client.RegCreateKeyA(key, text, &opened)
                                  : client.RegOpenKeyExA(key, text, 0, nameSize, &opened);
        break;
      case 2:
        status = client.RegQueryValueExA(key, text, &type, wantData ? data.data() : nullptr,
                                         in.ConsumeBool() ? &size : nullptr);
        // A caller allocates what a "more data" answer says.
        Check(status != kErrorMoreData || (size <= kMaxWireValueBytes && wantData));
        Check(status != kErrorSuccess || !wantData || size <= room);
        break;
      case 3:
        status = client.RegSetValueExA(key, text, 0, 1, data.data(), size);
        break;
      case 4:
        status = wantData ? client.RegDeleteValueA(key, text) : client.RegDeleteKeyA(key, text);
        break;
      case 5:
        status = client.RegEnumKeyA(key, size, name, nameSize);
        break;
      case 6:
        status = client.RegEnumValueA(key, 0, name, &nameSize, &type,
                                      wantData ? data.data() : nullptr, &size);
        Check(status != kErrorSuccess || (nameSize < given && (!wantData || size <= room)));
        Check(status != kErrorMoreData || size <= kMaxWireValueBytes);
        break;
      case 7:
        status = client.RegQueryInfoKeyA(key, &sizes[0], &sizes[1], &sizes[2]);
        Check(status != kErrorSuccess ||
              (sizes[0] <= kMaxWireNameBytes && sizes[1] <= kMaxWireNameBytes &&
               sizes[2] <= kMaxWireValueBytes));
        break;
      case 8:
        status = client.RegCloseKey(key);
        break;
      case 9:
        status = wantData ? client.BeginChanges() : client.SaveChanges();
        break;
      default:  // these tell nothing
        wantData ? client.DiscardChanges() : client.EndChanges();
        undecodable = false;
    }
    if (status == kErrorSuccess && opened != kNoKey) keys.push_back(opened);
    Check(!undecodable || status == kErrorRpcUnavailable);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 2) return 0;
  if (bytes[0] & 1) {
    FuzzedDataProvider in(bytes + 1, size - 1);
    DriveClient(in);
    return 0;
  }
  // The agent side, fed in pieces whose size the second byte picks; a valid greeting is put in
  // front half of the time so that the frames behind it are reached.
  std::string_view input(reinterpret_cast<const char*>(bytes) + 2, size - 2);
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
