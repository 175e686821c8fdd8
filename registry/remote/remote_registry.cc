// The client of the registry agent: hosts and their transports, handles, the pipelining of
// closes and the values an open brought along.
#include "registry/remote/remote_registry.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_map>
#include <vector>

#include "registry/remote/remote_protocol.h"
#include "registry/remote/remote_transport.h"
#include "registry/key_names.h"

namespace {

// Closes waiting for the next call; past this many they are sent on their own, so that their
// answers never fill the agent's output while we are still writing.
constexpr size_t kMaxDeferred = 512;

struct CachedValue {
  uint32_t type = 0;
  std::string data;
};

// The current user of another machine is nobody this run knows.
bool IsRemoteRoot(KeyHandle root) {
  return root >= kHkeyClassesRoot && root <= kHkeyCurrentConfig && root != kHkeyCurrentUser;
}

// The agent hands the store at most `limit` as a capacity; an output the store left as it was
// comes back as that limit, and is the caller's own value again.
uint32_t Untouched(uint32_t returned, uint32_t given, uint32_t limit) {
  return given > limit && returned == limit ? given : returned;
}

// A size the agent reports for data it was asked about. Whatever it says is bounded by what a
// frame can carry, and a "buffer too small" must name more than the buffer it was given: a
// caller allocates what these sizes say, so a lie here would be an allocation of its choice.
bool PlausibleSize(RegStatus status, uint32_t reported, uint32_t given, uint32_t limit) {
  if (status == kErrorMoreData) return reported <= limit && reported > given;
  if (status == kErrorSuccess) return reported <= limit;
  return true;
}

const char* EnvironmentText(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// A whole number of seconds from the environment, in milliseconds; `fallback` when unset or
// not a number from 1 to a day.
int SecondsFromEnvironment(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  char* end = nullptr;
  long seconds = std::strtol(text, &end, 10);
  return *end == '\0' && seconds > 0 && seconds <= 86400 ? static_cast<int>(seconds * 1000)
                                                         : fallback;
}

}  // namespace

struct RemoteRegistry::Host {
  RegStatus startFailure = kErrorSuccess;  // 53 when the transport never came up
  bool lost = false;
  std::unique_ptr<AgentConnection> transport;
  std::string outgoing;                // requests written but not yet sent
  std::vector<RemoteOp> deferred;      // their calls, whose answers nobody waits for
  bool batching = false;               // the agent holds its store for this run's batch
};

struct RemoteRegistry::Key {
  Host* host = nullptr;
  uint64_t wire = 0;   // the id the agent knows the key by, or the predefined root
  bool isRoot = false;
  bool cached = false;  // `values` holds every value of the key
  std::unordered_map<std::string, CachedValue> values;  // by folded name
};

struct RemoteRegistry::State {
  std::string rsh;
  std::string agent;
  Connector connect;  // empty: a RemoteTransport
  int timeoutMs = RemoteRegistry::kDefaultTimeoutMs;
  int lockWaitMs = 0;
  std::map<std::string, std::unique_ptr<Host>> hosts;
  std::unordered_map<KeyHandle, Key> keys;
  KeyHandle next = 1;
  bool batching = false;  // inside BeginChanges .. EndChanges

  // Sends a batch call to `host` and waits for its answer.
  RegStatus BatchCall(Host& host, RemoteOp op, RemoteStats& stats);

  // Sends what is waiting and the request, then reads every answer up to the request's.
  // 0: *answer holds it. 1722: the connection is gone (now or earlier).
  RegStatus Call(Host& host, const RemoteRequest& q, RemoteResponse* answer, RemoteStats& stats);
  // Queues a request whose answer nobody waits for; it goes out with the next call.
  void Defer(Host& host, const RemoteRequest& q, RemoteStats& stats);
  // Sends what is queued and reads the answers to the deferred requests. False: lost.
  bool SendWaiting(Host& host);
  void Lose(Host& host);
  // Forgets the values of every key of `host` but `keep`: a change made through one handle
  // may concern a key that another handle also names.
  void DropValues(const Host& host, const Key* keep);
  Key* Find(KeyHandle handle);
  RegStatus NewHandle(KeyHandle* handle);
  // Sends an open of `parent`'s key (q.key and q.newKey are filled here) and records the key.
  RegStatus Open(KeyHandle parent, RemoteRequest& q, KeyHandle* result, RemoteStats& stats);
  // Sends a call on `handle`'s key and waits for its answer. 6: not an open handle.
  RegStatus CallOn(KeyHandle handle, RemoteRequest& q, RemoteResponse* a, Key** key,
                   RemoteStats& stats);
  // A change (set or delete) through `handle`: the transport's code or the agent's answer. Once
  // it is made, the values held for the host's other keys may be stale, and for a deleted
  // subkey those of the key itself too.
  RegStatus Change(KeyHandle handle, RemoteRequest& q, Key** key, RemoteStats& stats);
};

std::string HostOfMachine(std::string_view machine) {
  size_t skip = machine.find_first_not_of('\\');
  return skip == std::string_view::npos ? std::string() : std::string(machine.substr(skip));
}

RemoteRegistry::RemoteRegistry(std::string rsh, std::string agent, int timeoutMs,
                               int lockWaitMs)
    : state_(std::make_unique<State>()) {
  state_->rsh = std::move(rsh);
  state_->agent = std::move(agent);
  state_->timeoutMs = timeoutMs;
  state_->lockWaitMs = lockWaitMs;
}

RemoteRegistry::RemoteRegistry(Connector connect, int timeoutMs)
    : RemoteRegistry("", "", timeoutMs) {
  state_->connect = std::move(connect);
}

RemoteRegistry::~RemoteRegistry() {
  for (auto& [name, host] : state_->hosts) {
    if (!host->lost && host->startFailure == kErrorSuccess && !host->outgoing.empty()) {
      host->transport->Send(host->outgoing);
    }
    host->transport->Close();
  }
}

std::unique_ptr<RemoteRegistry> RemoteRegistry::FromEnvironment() {
  return std::make_unique<RemoteRegistry>(
      EnvironmentText("DORVALEX_RSH"), EnvironmentText("DORVALEX_AGENT"),
      SecondsFromEnvironment("DORVALEX_REMOTE_TIMEOUT", kDefaultTimeoutMs),
      SecondsFromEnvironment("DORVALEX_STORE_WAIT", 60 * 1000));
}

RemoteRegistry::Key* RemoteRegistry::State::Find(KeyHandle handle) {
  auto it = keys.find(handle);
  return it == keys.end() ? nullptr : &it->second;
}

RegStatus RemoteRegistry::State::NewHandle(KeyHandle* handle) {
  // Ids stay below the predefined roots, which the agent reads as roots.
  if (next >= kHkeyClassesRoot) return kErrorNotEnoughMemory;
  *handle = next++;
  return kErrorSuccess;
}

void RemoteRegistry::State::Lose(Host& host) {
  host.lost = true;
  host.outgoing.clear();
  host.deferred.clear();
  host.transport->Close();
  DropValues(host, nullptr);
}

void RemoteRegistry::State::DropValues(const Host& host, const Key* keep) {
  for (auto& [handle, key] : keys) {
    if (key.host == &host && &key != keep && key.cached) {
      key.cached = false;
      key.values.clear();
    }
  }
}

bool RemoteRegistry::State::SendWaiting(Host& host) {
  if (!host.transport->Send(host.outgoing)) return false;
  host.outgoing.clear();
  std::string payload;
  for (RemoteOp op : host.deferred) {
    RemoteResponse ignored;
    if (!host.transport->Receive(&payload) || !DecodeResponse(op, payload, &ignored)) return false;
  }
  host.deferred.clear();
  return true;
}

RegStatus RemoteRegistry::State::Call(Host& host, const RemoteRequest& q, RemoteResponse* answer,
                                      RemoteStats& stats) {
  if (host.lost) return kErrorRpcUnavailable;
  AppendFrame(EncodeRequest(q), &host.outgoing);
  ++stats.requests;
  ++stats.roundTrips;
  std::string payload;
  if (!SendWaiting(host) || !host.transport->Receive(&payload) ||
      !DecodeResponse(q.op, payload, answer)) {
    Lose(host);
    return kErrorRpcUnavailable;
  }
  return kErrorSuccess;
}

void RemoteRegistry::State::Defer(Host& host, const RemoteRequest& q, RemoteStats& stats) {
  if (host.lost) return;
  AppendFrame(EncodeRequest(q), &host.outgoing);
  ++stats.requests;
  host.deferred.push_back(q.op);
  if (host.deferred.size() < kMaxDeferred) return;
  ++stats.roundTrips;
  if (!SendWaiting(host)) Lose(host);
}

RegStatus RemoteRegistry::RegConnectRegistryA(std::string_view machine, KeyHandle root,
                                              KeyHandle* result) {
  if (!result) return kErrorInvalidParameter;
  *result = kNoKey;
  std::string name = HostOfMachine(machine);
  // A host that ssh would read as an option never reaches it.
  if (name.empty() || name[0] == '-') return kErrorBadNetPath;
  auto& slot = state_->hosts[name];
  if (!slot) {
    slot = std::make_unique<Host>();
    slot->transport = state_->connect ? state_->connect() : std::make_unique<RemoteTransport>();
    slot->transport->SetTimeout(state_->timeoutMs);
    ++stats_.roundTrips;  // the greetings
    slot->startFailure =
        slot->transport->Start(TransportCommand(state_->rsh, state_->agent, name));
  }
  Host& host = *slot;
  if (host.startFailure != kErrorSuccess) return host.startFailure;
  if (host.lost) return kErrorRpcUnavailable;
  if (state_->batching && !host.batching) {
    // The agent may first wait for another run to give its store back.
    if (state_->timeoutMs >= 0)
      host.transport->SetTimeout(state_->timeoutMs + state_->lockWaitMs);
    RegStatus status = state_->BatchCall(host, RemoteOp::kBeginChanges, stats_);
    host.transport->SetTimeout(state_->timeoutMs);
    if (status != kErrorSuccess) {
      // The host's store stays out of this run's reach: later connects fail alike at once.
      if (!host.lost) state_->Lose(host);
      host.startFailure = status;
      return status;
    }
    host.batching = true;
  }
  if (!IsRemoteRoot(root)) return kErrorInvalidHandle;
  KeyHandle handle;
  if (RegStatus status = state_->NewHandle(&handle)) return status;
  Key& key = state_->keys[handle];
  key.host = &host;
  key.wire = root;
  key.isRoot = true;
  *result = handle;
  return kErrorSuccess;
}

RegStatus RemoteRegistry::State::Open(KeyHandle parent, RemoteRequest& q, KeyHandle* result,
                                      RemoteStats& stats) {
  if (!result) return kErrorInvalidParameter;
  *result = kNoKey;
  Key* from = Find(parent);
  if (!from) return kErrorInvalidHandle;
  Host& host = *from->host;
  if (host.lost) return kErrorRpcUnavailable;
  q.key = from->wire;
  if (RegStatus status = NewHandle(&q.newKey)) return status;
  RemoteResponse a;
  if (RegStatus status = Call(host, q, &a, stats)) return status;
  if (a.status != kErrorSuccess) return a.status;
  Key& key = keys[q.newKey];
  key.host = &host;
  key.wire = q.newKey;
  if (a.hasValues) {
    key.cached = true;
    for (WireValue& v : a.values) {
      key.values[FoldName(v.name)] = CachedValue{v.type, std::move(v.data)};
    }
  }
  *result = q.newKey;
  return kErrorSuccess;
}

RegStatus RemoteRegistry::State::CallOn(KeyHandle handle, RemoteRequest& q, RemoteResponse* a,
                                        Key** key, RemoteStats& stats) {
  *key = Find(handle);
  if (!*key) return kErrorInvalidHandle;
  q.key = (*key)->wire;
  if (RegStatus status = Call(*(*key)->host, q, a, stats)) return status;
  // The call may have lost the connection, which forgets nothing but the values.
  return kErrorSuccess;
}

RegStatus RemoteRegistry::State::Change(KeyHandle handle, RemoteRequest& q, Key** key,
                                        RemoteStats& stats) {
  RemoteResponse a;
  if (RegStatus status = CallOn(handle, q, &a, key, stats)) return status;
  if (a.status == kErrorSuccess)
    DropValues(*(*key)->host, q.op == RemoteOp::kDeleteKey ? nullptr : *key);
  return a.status;
}

RegStatus RemoteRegistry::RegCreateKeyA(KeyHandle parent, std::string_view subkey,
                                        KeyHandle* result) {
  RemoteRequest q;
  q.op = RemoteOp::kCreateKey;
  q.name.assign(subkey);
  q.flags = kWantValues;
  return state_->Open(parent, q, result, stats_);
}

RegStatus RemoteRegistry::RegOpenKeyExA(KeyHandle parent, std::string_view subkey,
                                        uint32_t options, uint32_t access, KeyHandle* result) {
  RemoteRequest q;
  q.op = RemoteOp::kOpenKeyEx;
  q.name.assign(subkey);
  q.options = options;
  q.access = access;
  // Only an open for changing values is followed by a query of the old value; opens for
  // reading walk keys whose values they enumerate anyway.
  constexpr uint32_t kKeySetValueBit = 0x0002;
  if ((access & kKeySetValueBit) && (access & kKeyQueryValue)) q.flags = kWantValues;
  return state_->Open(parent, q, result, stats_);
}

RegStatus RemoteRegistry::RegOpenKeyA(KeyHandle parent, std::string_view subkey,
                                      KeyHandle* result) {
  RemoteRequest q;
  q.op = RemoteOp::kOpenKey;
  q.name.assign(subkey);
  return state_->Open(parent, q, result, stats_);
}

RegStatus RemoteRegistry::RegQueryValueExA(KeyHandle key, std::string_view name, uint32_t* type,
                                           uint8_t* data, uint32_t* size) {
  Key* k = state_->Find(key);
  if (!k) return kErrorInvalidHandle;
  if (data && !size) return kErrorInvalidParameter;
  if (k->cached && !k->host->lost) {
    // The same answers the store gives, from the values the open brought.
    ++stats_.localAnswers;
    if (CheckValueName(name) != kErrorSuccess) return kErrorFileNotFound;
    auto it = k->values.find(FoldName(name));
    if (it == k->values.end()) return kErrorFileNotFound;
    const CachedValue& v = it->second;
    uint32_t length = static_cast<uint32_t>(v.data.size());
    if (type) *type = v.type;
    if (!size) return kErrorSuccess;
    if (data && *size < length) {
      *size = length;
      return kErrorMoreData;
    }
    if (data && length) std::memcpy(data, v.data.data(), length);
    *size = length;
    return kErrorSuccess;
  }
  RemoteRequest q;
  q.op = RemoteOp::kQueryValue;
  q.name.assign(name);
  q.flags = (type ? kWantType : 0) | (data ? kWantData : 0) | (size ? kWantSize : 0);
  q.dataCapacity = size ? *size : 0;
  q.type = type ? *type : 0;
  RemoteResponse a;
  if (RegStatus status = state_->CallOn(key, q, &a, &k, stats_)) return status;
  const bool lied =
      (a.status == kErrorMoreData && !data) ||
      (size && !PlausibleSize(a.status, a.size, data ? *size : 0, kMaxWireValueBytes)) ||
      (a.status == kErrorSuccess && data && (a.data.size() > *size || a.data.size() != a.size));
  if (lied) {
    state_->Lose(*k->host);  // an answer that does not fit what it was asked for
    return kErrorRpcUnavailable;
  }
  if (type) *type = a.type;
  if (size) *size = Untouched(a.size, *size, kMaxWireValueBytes);
  if (a.status == kErrorSuccess && data && !a.data.empty()) {
    std::memcpy(data, a.data.data(), a.data.size());
  }
  return a.status;
}

RegStatus RemoteRegistry::RegSetValueExA(KeyHandle key, std::string_view name, uint32_t reserved,
                                         uint32_t type, const uint8_t* data, uint32_t size) {
  if (size && !data) return kErrorInvalidParameter;
  if (size > kMaxWireValueBytes) return kErrorNotEnoughMemory;
  RemoteRequest q;
  q.op = RemoteOp::kSetValue;
  q.name.assign(name);
  q.reserved = reserved;
  q.type = type;
  if (size) q.data.assign(reinterpret_cast<const char*>(data), size);
  Key* k = nullptr;
  RegStatus status = state_->Change(key, q, &k, stats_);
  if (status == kErrorSuccess && k->cached)
    k->values[FoldName(name)] = CachedValue{type, std::move(q.data)};
  return status;
}

RegStatus RemoteRegistry::RegDeleteValueA(KeyHandle key, std::string_view name) {
  RemoteRequest q;
  q.op = RemoteOp::kDeleteValue;
  q.name.assign(name);
  Key* k = nullptr;
  RegStatus status = state_->Change(key, q, &k, stats_);
  if (status == kErrorSuccess) k->values.erase(FoldName(name));
  return status;
}

RegStatus RemoteRegistry::RegDeleteKeyA(KeyHandle parent, std::string_view subkey) {
  RemoteRequest q;
  q.op = RemoteOp::kDeleteKey;
  q.name.assign(subkey);
  Key* k = nullptr;
  return state_->Change(parent, q, &k, stats_);
}

RegStatus RemoteRegistry::RegEnumKeyA(KeyHandle key, uint32_t index, char* name, uint32_t size) {
  RemoteRequest q;
  q.op = RemoteOp::kEnumKey;
  q.index = index;
  q.nameCapacity = name ? size : 0;
  RemoteResponse a;
  Key* k = nullptr;
  if (RegStatus status = state_->CallOn(key, q, &a, &k, stats_)) return status;
  if (a.status != kErrorSuccess) return a.status;
  if (!name || a.name.size() >= size) {
    state_->Lose(*k->host);
    return kErrorRpcUnavailable;
  }
  std::memcpy(name, a.name.data(), a.name.size());
  name[a.name.size()] = '\0';
  return kErrorSuccess;
}

RegStatus RemoteRegistry::RegEnumValueA(KeyHandle key, uint32_t index, char* name,
                                        uint32_t* nameSize, uint32_t* type, uint8_t* data,
                                        uint32_t* dataSize) {
  Key* k = state_->Find(key);
  if (!k) return kErrorInvalidHandle;
  if (!name || !nameSize || (data && !dataSize)) return kErrorInvalidParameter;
  RemoteRequest q;
  q.op = RemoteOp::kEnumValue;
  q.index = index;
  q.nameCapacity = *nameSize;
  q.dataCapacity = dataSize ? *dataSize : 0;
  q.type = type ? *type : 0;
  q.flags = (type ? kWantType : 0) | (data ? kWantData : 0) | (dataSize ? kWantSize : 0);
  RemoteResponse a;
  if (RegStatus status = state_->CallOn(key, q, &a, &k, stats_)) return status;
  const bool tooSmall = a.nameSize >= *nameSize || (data && a.size > *dataSize);
  const bool lied =
      a.nameSize > kMaxWireNameBytes ||
      (dataSize && a.status != kErrorMoreData &&
       !PlausibleSize(a.status, a.size, 0, kMaxWireValueBytes)) ||
      (a.status == kErrorMoreData && (!tooSmall || a.size > kMaxWireValueBytes)) ||
      (a.status == kErrorSuccess &&
       (a.name.size() >= *nameSize || a.nameSize != a.name.size() ||
        (data && (a.data.size() > *dataSize || a.data.size() != a.size))));
  if (lied) {
    state_->Lose(*k->host);
    return kErrorRpcUnavailable;
  }
  if (a.status == kErrorSuccess) {
    std::memcpy(name, a.name.data(), a.name.size());
    name[a.name.size()] = '\0';
    if (data && !a.data.empty()) std::memcpy(data, a.data.data(), a.data.size());
  }
  *nameSize = Untouched(a.nameSize, *nameSize, kMaxWireNameBytes);
  if (type) *type = a.type;
  if (dataSize) *dataSize = Untouched(a.size, *dataSize, kMaxWireValueBytes);
  return a.status;
}

RegStatus RemoteRegistry::RegQueryInfoKeyA(KeyHandle key, uint32_t* maxSubkeyLength,
                                           uint32_t* maxValueNameLength,
                                           uint32_t* maxValueLength) {
  RemoteRequest q;
  q.op = RemoteOp::kQueryInfoKey;
  q.flags = (maxSubkeyLength ? kWantSubkeyLength : 0) |
            (maxValueNameLength ? kWantNameLength : 0) | (maxValueLength ? kWantValueLength : 0);
  RemoteResponse a;
  Key* k = nullptr;
  if (RegStatus status = state_->CallOn(key, q, &a, &k, stats_)) return status;
  if (a.status == kErrorSuccess &&
      (a.maxSubkeyLength > kMaxWireNameBytes || a.maxNameLength > kMaxWireNameBytes ||
       a.maxValueLength > kMaxWireValueBytes)) {
    state_->Lose(*k->host);  // callers size their buffers from these
    return kErrorRpcUnavailable;
  }
  if (a.status == kErrorSuccess) {
    if (maxSubkeyLength) *maxSubkeyLength = a.maxSubkeyLength;
    if (maxValueNameLength) *maxValueNameLength = a.maxNameLength;
    if (maxValueLength) *maxValueLength = a.maxValueLength;
  }
  return a.status;
}

RegStatus RemoteRegistry::RegCloseKey(KeyHandle key) {
  auto it = state_->keys.find(key);
  if (it == state_->keys.end()) return kErrorInvalidHandle;
  Host& host = *it->second.host;
  bool isRoot = it->second.isRoot;
  uint64_t wire = it->second.wire;
  state_->keys.erase(it);
  if (host.lost) return kErrorRpcUnavailable;
  if (isRoot) return kErrorSuccess;  // the agent keeps no state for a remote root
  // Nobody waits for a close: the handle is known to be open, so it answers 0 now and
  // travels with the next call that needs an answer.
  RemoteRequest q;
  q.op = RemoteOp::kCloseKey;
  q.key = wire;
  state_->Defer(host, q, stats_);
  return kErrorSuccess;
}

RegStatus RemoteRegistry::State::BatchCall(Host& host, RemoteOp op, RemoteStats& stats) {
  RemoteRequest q;
  q.op = op;
  RemoteResponse a;
  if (RegStatus status = Call(host, q, &a, stats)) return status;
  return a.status;
}

RegStatus RemoteRegistry::BeginChanges() {
  if (state_->batching) return kErrorInvalidParameter;
  state_->batching = true;
  return kErrorSuccess;  // each host joins at its connect
}

RegStatus RemoteRegistry::SaveChanges() {
  for (auto& [name, host] : state_->hosts) {
    if (!host->batching) continue;
    if (host->lost) return kErrorRpcUnavailable;
    if (RegStatus status = state_->BatchCall(*host, RemoteOp::kSaveChanges, stats_)) {
      return status;
    }
  }
  return kErrorSuccess;
}

void RemoteRegistry::DiscardChanges() {
  // The agent drops what was not saved when its client goes away; every later call then
  // fails as lost.
  for (auto& [name, host] : state_->hosts) {
    if (host->batching && !host->lost) state_->Lose(*host);
  }
}

void RemoteRegistry::EndChanges() {
  for (auto& [name, host] : state_->hosts) {
    if (host->batching && !host->lost) state_->BatchCall(*host, RemoteOp::kEndChanges, stats_);
    host->batching = false;
  }
  state_->batching = false;
}
