// The agent's request loop body: greeting check, frame decoding and one store call per request.
#include "registry/remote/remote_agent.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// The roots a client may name directly: every predefined root but the current user's, which
// belongs to whoever the agent runs for and means nothing to another machine.
bool IsServedRoot(uint64_t key) {
  return key >= kHkeyClassesRoot && key <= kHkeyCurrentConfig && key != kHkeyCurrentUser;
}

// Client ids are small numbers that can never be mistaken for a predefined root.
bool IsValidNewId(uint64_t id) { return id != kNoKey && id < kHkeyClassesRoot; }

// A buffer for the store's data output, left uninitialised: a client may offer up to a
// frame's worth of room, and only the pages the store writes then take memory. Null when the
// client asked for no data; never null otherwise, even for no room.
using Buffer = std::unique_ptr<uint8_t[]>;
Buffer NewBuffer(uint8_t flags, uint32_t capacity) {
  if (!(flags & kWantData)) return Buffer();
  return std::make_unique_for_overwrite<uint8_t[]>(std::max<uint32_t>(capacity, 1));
}

}  // namespace

AgentSession::~AgentSession() {
  for (const auto& [id, handle] : keys_) store_.RegCloseKey(handle);
  // A client that went away without ending its batch may not have its records on disk for
  // what it changed since its last save: those changes are dropped.
  if (batching_) store_.EndChanges();
}

bool AgentSession::Feed(std::string_view bytes, std::string* out, std::string* error) {
  if (!greeted_) {
    size_t take = std::min(bytes.size(), kGreetingBytes - greeting_.size());
    greeting_.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    if (greeting_.size() < kGreetingBytes) return true;
    uint32_t version = 0;
    if (!DecodeGreeting(greeting_, kClientMagic, &version)) {
      *error = "not a registry client";
      return false;
    }
    if (version != kProtocolVersion) {
      *error = "unsupported protocol version " + std::to_string(version);
      return false;
    }
    greeted_ = true;
  }
  splitter_.Append(bytes.data(), bytes.size());
  std::string_view payload;
  for (;;) {
    switch (splitter_.Next(&payload)) {
      case FrameSplitter::kNeedMore:
        return true;
      case FrameSplitter::kOversized:
        *error = "oversized frame";
        return false;
      case FrameSplitter::kFrame:
        if (!HandleRequest(payload, out, error)) return false;
        break;
    }
  }
}

bool AgentSession::HandleRequest(std::string_view payload, std::string* out,
                                 std::string* error) {
  RemoteRequest q;
  if (!DecodeRequest(payload, &q)) {
    *error = "malformed request";
    return false;
  }
  if ((q.op == RemoteOp::kQueryValue || q.op == RemoteOp::kEnumValue) &&
      (q.flags & kWantData) && !(q.flags & kWantSize)) {
    // Data is only ever written through a buffer whose size travels with it.
    RemoteResponse refused;
    refused.status = kErrorInvalidParameter;
    AppendFrame(EncodeResponse(q.op, refused), out);
    return true;
  }
  bool violation = false;
  RemoteResponse a = Run(q, &violation);
  if (violation) {
    *error = "request names a key id already in use";
    return false;
  }
  AppendFrame(EncodeResponse(q.op, a), out);
  return true;
}

KeyHandle AgentSession::Resolve(uint64_t key) const {
  if (IsServedRoot(key)) return key;
  auto it = keys_.find(key);
  return it == keys_.end() ? kNoKey : it->second;
}

RegStatus AgentSession::Adopt(uint64_t id, KeyHandle opened) {
  if (keys_.size() >= kAgentMaxOpenKeys) {
    store_.RegCloseKey(opened);
    return kErrorNotEnoughMemory;
  }
  keys_.emplace(id, opened);
  return kErrorSuccess;
}

void AgentSession::Prefetch(KeyHandle key, RemoteResponse* a) {
  // One read of the store for the whole walk: the values come from one moment, and the store
  // is locked once rather than once per value.
  bool consistent =
      store_.BeginConsistentRead(RegistryService::ReadSpan::kSome) == kErrorSuccess;
  Collect(key, a);
  if (consistent) store_.EndConsistentRead();
}

void AgentSession::Collect(KeyHandle key, RemoteResponse* a) {
  uint32_t maxName = 0;
  uint32_t maxData = 0;
  if (store_.RegQueryInfoKeyA(key, nullptr, &maxName, &maxData) != kErrorSuccess ||
      maxData > kPrefetchMaxBytes || maxName > kMaxWireNameBytes) {
    return;
  }
  std::vector<char> name(maxName + 1);
  std::vector<uint8_t> data(std::max<uint32_t>(maxData, 1));
  std::vector<WireValue> values;
  size_t total = 0;
  for (uint32_t index = 0;; ++index) {
    uint32_t nameSize = maxName + 1;
    uint32_t dataSize = maxData;
    uint32_t type = 0;
    RegStatus st = store_.RegEnumValueA(key, index, name.data(), &nameSize, &type, data.data(),
                                        &dataSize);
    if (st == kErrorNoMoreItems) break;
    if (st != kErrorSuccess || index >= kPrefetchMaxValues || nameSize > maxName ||
        dataSize > maxData) {
      return;  // too many, or changed under us: the client asks for each value instead
    }
    total += nameSize + dataSize;
    if (total > kPrefetchMaxBytes) return;
    values.push_back({std::string(name.data(), nameSize), type,
                      std::string(reinterpret_cast<const char*>(data.data()), dataSize)});
  }
  a->hasValues = true;
  a->values = std::move(values);
}

RemoteResponse AgentSession::Run(const RemoteRequest& q, bool* violation) {
  RemoteResponse a;
  bool opens = q.op == RemoteOp::kCreateKey || q.op == RemoteOp::kOpenKeyEx ||
               q.op == RemoteOp::kOpenKey;
  if (opens && (!IsValidNewId(q.newKey) || keys_.count(q.newKey) != 0)) {
    *violation = true;
    return a;
  }
  switch (q.op) {
    case RemoteOp::kBeginChanges:
      a.status = batching_ ? kErrorInvalidParameter : store_.BeginChanges();
      batching_ = a.status == kErrorSuccess;
      return a;
    case RemoteOp::kSaveChanges:
      a.status = batching_ ? store_.SaveChanges() : kErrorInvalidParameter;
      return a;
    case RemoteOp::kEndChanges:
      if (batching_) store_.EndChanges();
      batching_ = false;
      return a;
    default:
      break;
  }
  KeyHandle key = Resolve(q.key);
  if (key == kNoKey) {
    a.status = kErrorInvalidHandle;
    return a;
  }
  switch (q.op) {
    case RemoteOp::kCreateKey:
    case RemoteOp::kOpenKeyEx:
    case RemoteOp::kOpenKey: {
      KeyHandle opened = kNoKey;
      if (q.op == RemoteOp::kCreateKey) {
        a.status = store_.RegCreateKeyA(key, q.name, &opened);
      } else if (q.op == RemoteOp::kOpenKeyEx) {
        a.status = store_.RegOpenKeyExA(key, q.name, q.options, q.access, &opened);
      } else {
        a.status = store_.RegOpenKeyA(key, q.name, &opened);
      }
      if (a.status != kErrorSuccess) break;
      a.status = Adopt(q.newKey, opened);
      if (a.status == kErrorSuccess && (q.flags & kWantValues) && q.op != RemoteOp::kOpenKey) {
        Prefetch(opened, &a);
      }
      break;
    }
    case RemoteOp::kQueryValue: {
      uint32_t capacity = std::min(q.dataCapacity, kMaxWireValueBytes);
      Buffer data = NewBuffer(q.flags, capacity);
      a.size = capacity;
      a.type = q.type;
      a.status = store_.RegQueryValueExA(key, q.name, (q.flags & kWantType) ? &a.type : nullptr,
                                         data.get(), (q.flags & kWantSize) ? &a.size : nullptr);
      if (a.status == kErrorMoreData && a.size <= q.dataCapacity) {
        a.status = kErrorNotEnoughMemory;  // larger than a frame can carry
      }
      if (a.status == kErrorSuccess && (q.flags & kWantData)) {
        a.data.assign(reinterpret_cast<const char*>(data.get()), std::min(a.size, capacity));
      }
      break;
    }
    case RemoteOp::kSetValue:
      a.status = store_.RegSetValueExA(key, q.name, q.reserved, q.type,
                                       reinterpret_cast<const uint8_t*>(q.data.data()),
                                       static_cast<uint32_t>(q.data.size()));
      break;
    case RemoteOp::kDeleteValue:
      a.status = store_.RegDeleteValueA(key, q.name);
      break;
    case RemoteOp::kDeleteKey:
      a.status = store_.RegDeleteKeyA(key, q.name);
      break;
    case RemoteOp::kEnumKey: {
      uint32_t capacity = std::min(q.nameCapacity, kMaxWireNameBytes);
      std::vector<char> name(capacity + 1, '\0');
      a.status = store_.RegEnumKeyA(key, q.index, name.data(), capacity);
      if (a.status == kErrorSuccess) a.name.assign(name.data(), strnlen(name.data(), capacity));
      break;
    }
    case RemoteOp::kEnumValue: {
      uint32_t nameCapacity = std::min(q.nameCapacity, kMaxWireNameBytes);
      uint32_t dataCapacity = std::min(q.dataCapacity, kMaxWireValueBytes);
      std::vector<char> name(nameCapacity + 1, '\0');
      Buffer data = NewBuffer(q.flags, dataCapacity);
      a.nameSize = nameCapacity;
      a.size = dataCapacity;
      a.type = q.type;
      a.status = store_.RegEnumValueA(key, q.index, name.data(), &a.nameSize,
                                      (q.flags & kWantType) ? &a.type : nullptr, data.get(),
                                      (q.flags & kWantSize) ? &a.size : nullptr);
      if (a.status == kErrorSuccess) {
        a.name.assign(name.data(), std::min(a.nameSize, nameCapacity));
        if (q.flags & kWantData) {
          a.data.assign(reinterpret_cast<const char*>(data.get()), std::min(a.size, dataCapacity));
        }
      }
      break;
    }
    case RemoteOp::kQueryInfoKey:
      a.status = store_.RegQueryInfoKeyA(key,
                                         (q.flags & kWantSubkeyLength) ? &a.maxSubkeyLength : nullptr,
                                         (q.flags & kWantNameLength) ? &a.maxNameLength : nullptr,
                                         (q.flags & kWantValueLength) ? &a.maxValueLength : nullptr);
      break;
    case RemoteOp::kCloseKey:
      if (IsServedRoot(q.key)) {
        a.status = kErrorSuccess;  // the roots stay open for the whole session
        break;
      }
      a.status = store_.RegCloseKey(key);
      if (a.status == kErrorSuccess) keys_.erase(q.key);
      break;
    default:  // the batch calls, answered above
      break;
  }
  return a;
}
