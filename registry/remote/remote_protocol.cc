// Encoding and checked decoding of the agent's greeting, frames, requests and responses.
// Integers are fixed-width little-endian; byte strings are a 32-bit length and the bytes.
#include "registry/remote/remote_protocol.h"

#include <cstring>

namespace {

// The smallest encoding of one prefetched value: two empty strings and a type.
constexpr size_t kMinWireValueBytes = 12;

// Writer and Reader have the same calls, so that one list of a message's fields (see
// RequestFields and ResponseFields) both encodes and decodes it. A Writer's calls always
// succeed; a name or data field's limit only binds the Reader.
class Writer {
 public:
  bool U8(uint8_t v) { return Int(v); }
  bool U32(uint32_t v) { return Int(v); }
  bool U64(uint64_t v) { return Int(v); }
  bool Bytes(std::string_view v) {
    U32(static_cast<uint32_t>(v.size()));
    out_.append(v);
    return true;
  }
  bool Name(std::string_view v) { return Bytes(v); }
  bool Data(std::string_view v) { return Bytes(v); }
  // An open's values: a flag, then the count and the values when there are any.
  bool Values(bool has, const std::vector<WireValue>& values) {
    U8(has ? 1 : 0);
    if (!has) return true;
    U32(static_cast<uint32_t>(values.size()));
    for (const WireValue& v : values) {
      Name(v.name);
      U32(v.type);
      Data(v.data);
    }
    return true;
  }
  std::string Take() { return std::move(out_); }

 private:
  template <typename T>
  bool Int(T v) {
    for (size_t i = 0; i < sizeof v; ++i) out_.push_back(static_cast<char>(v >> (8 * i)));
    return true;
  }

  std::string out_;
};

// Every read checks the bytes left first; after one failed read all later reads fail too.
class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}
  bool U8(uint8_t& v) { return Int(v); }
  bool U32(uint32_t& v) { return Int(v); }
  bool U64(uint64_t& v) { return Int(v); }
  bool Bytes(std::string& v, uint32_t limit) {
    uint32_t length = 0;
    if (!U32(length) || length > limit || !Have(length)) return Fail();
    v.assign(in_.substr(pos_, length));
    pos_ += length;
    return true;
  }
  bool Name(std::string& v) { return Bytes(v, kMaxWireNameBytes); }
  bool Data(std::string& v) { return Bytes(v, kMaxWireValueBytes); }
  bool Values(bool& has, std::vector<WireValue>& values) {
    uint8_t flag = 0;
    if (!U8(flag) || flag > 1) return Fail();
    has = flag == 1;
    if (!has) return true;
    uint32_t count = 0;
    // A count that the payload cannot hold is refused before anything is reserved for it.
    if (!U32(count) || count > left() / kMinWireValueBytes) return Fail();
    values.resize(count);
    for (WireValue& v : values) {
      if (!Name(v.name) || !U32(v.type) || !Data(v.data)) return false;
    }
    return true;
  }
  bool Done() const { return ok_ && pos_ == in_.size(); }
  size_t left() const { return in_.size() - pos_; }

 private:
  template <typename T>
  bool Int(T& v) {
    if (!Have(sizeof v)) return false;
    T r = 0;
    for (size_t i = 0; i < sizeof v; ++i)
      r = static_cast<T>(r | T{static_cast<uint8_t>(in_[pos_ + i])} << (8 * i));
    pos_ += sizeof v;
    v = r;
    return true;
  }

  bool Have(size_t n) {
    if (!ok_ || in_.size() - pos_ < n) return Fail();
    return true;
  }
  bool Fail() {
    ok_ = false;
    return false;
  }

  std::string_view in_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// The fields of each call's request after its call and key, in wire order. `q` is const
// when `io` is a Writer. False for an unknown call or a field that could not be read.
template <typename Io, typename Request>
bool RequestFields(Io& io, Request& q) {
  switch (q.op) {
    case RemoteOp::kCreateKey:
      return io.Name(q.name) && io.U64(q.newKey) && io.U8(q.flags);
    case RemoteOp::kOpenKeyEx:
      return io.Name(q.name) && io.U32(q.options) && io.U32(q.access) && io.U64(q.newKey) &&
             io.U8(q.flags);
    case RemoteOp::kOpenKey:
      return io.Name(q.name) && io.U64(q.newKey);
    case RemoteOp::kQueryValue:
      return io.Name(q.name) && io.U8(q.flags) && io.U32(q.dataCapacity) && io.U32(q.type);
    case RemoteOp::kSetValue:
      return io.Name(q.name) && io.U32(q.reserved) && io.U32(q.type) && io.Data(q.data);
    case RemoteOp::kDeleteValue:
    case RemoteOp::kDeleteKey:
      return io.Name(q.name);
    case RemoteOp::kEnumKey:
      return io.U32(q.index) && io.U32(q.nameCapacity);
    case RemoteOp::kEnumValue:
      return io.U32(q.index) && io.U32(q.nameCapacity) && io.U32(q.dataCapacity) &&
             io.U8(q.flags) && io.U32(q.type);
    case RemoteOp::kQueryInfoKey:
      return io.U8(q.flags);
    case RemoteOp::kCloseKey:
    case RemoteOp::kBeginChanges:
    case RemoteOp::kSaveChanges:
    case RemoteOp::kEndChanges:
      return true;
  }
  return false;
}

// The fields of the answer to call `op` after its result code, likewise.
template <typename Io, typename Response>
bool ResponseFields(Io& io, RemoteOp op, Response& a) {
  switch (op) {
    case RemoteOp::kCreateKey:
    case RemoteOp::kOpenKeyEx:
      return io.Values(a.hasValues, a.values);
    case RemoteOp::kQueryValue:
      return io.U32(a.type) && io.U32(a.size) && io.Data(a.data);
    case RemoteOp::kEnumKey:
      return io.Name(a.name);
    case RemoteOp::kEnumValue:
      return io.U32(a.nameSize) && io.U32(a.type) && io.U32(a.size) && io.Name(a.name) &&
             io.Data(a.data);
    case RemoteOp::kQueryInfoKey:
      return io.U32(a.maxSubkeyLength) && io.U32(a.maxNameLength) && io.U32(a.maxValueLength);
    case RemoteOp::kOpenKey:
    case RemoteOp::kSetValue:
    case RemoteOp::kDeleteValue:
    case RemoteOp::kDeleteKey:
    case RemoteOp::kCloseKey:
    case RemoteOp::kBeginChanges:
    case RemoteOp::kSaveChanges:
    case RemoteOp::kEndChanges:
      return true;
  }
  return false;
}

// What a frame splitter's buffer keeps between frames at the most.
constexpr size_t kKeptBufferBytes = 1 << 20;

}  // namespace

std::string EncodeGreeting(std::string_view magic) {
  Writer w;
  std::string out(magic);
  w.U32(kProtocolVersion);
  return out + w.Take();
}

bool DecodeGreeting(std::string_view bytes, std::string_view magic, uint32_t* version) {
  if (bytes.size() != kGreetingBytes || bytes.substr(0, magic.size()) != magic) return false;
  Reader r(bytes.substr(magic.size()));
  return r.U32(*version) && r.Done();
}

std::string EncodeRequest(const RemoteRequest& q) {
  Writer w;
  w.U8(static_cast<uint8_t>(q.op));
  w.U64(q.key);
  RequestFields(w, q);
  return w.Take();
}

bool DecodeRequest(std::string_view payload, RemoteRequest* q) {
  Reader r(payload);
  uint8_t op = 0;
  if (!r.U8(op) || !r.U64(q->key)) return false;
  q->op = static_cast<RemoteOp>(op);
  return RequestFields(r, *q) && r.Done();
}

std::string EncodeResponse(RemoteOp op, const RemoteResponse& a) {
  Writer w;
  w.U32(static_cast<uint32_t>(a.status));
  ResponseFields(w, op, a);
  return w.Take();
}

bool DecodeResponse(RemoteOp op, std::string_view payload, RemoteResponse* a) {
  Reader r(payload);
  uint32_t status = 0;
  if (!r.U32(status)) return false;
  a->status = static_cast<RegStatus>(status);
  return ResponseFields(r, op, *a) && r.Done();
}

void AppendFrame(std::string_view payload, std::string* out) {
  Writer w;
  w.U32(static_cast<uint32_t>(payload.size()));
  out->append(w.Take());
  out->append(payload);
}

FrameSplitter::Result FrameSplitter::Next(std::string_view* payload) {
  // Bytes already handed out are dropped once they are the larger part of the buffer, so the
  // buffer never holds more than about two frames.
  if (start_ > 0 && start_ >= buffer_.size() / 2) {
    buffer_.erase(0, start_);
    start_ = 0;
    // Nor does the memory of one large frame stay with the stream.
    if (buffer_.capacity() > kKeptBufferBytes && buffer_.size() < kKeptBufferBytes) {
      buffer_.shrink_to_fit();
    }
  }
  if (pending() < 4) return kNeedMore;
  Reader r(std::string_view(buffer_).substr(start_, 4));
  uint32_t length = 0;
  r.U32(length);
  if (length > kMaxFrameBytes) return kOversized;
  if (pending() - 4 < length) return kNeedMore;
  *payload = std::string_view(buffer_).substr(start_ + 4, length);
  start_ += 4 + length;
  return kFrame;
}

bool FrameSplitter::TakeRaw(char* bytes, size_t count) {
  if (pending() < count) return false;
  buffer_.copy(bytes, count, start_);
  start_ += count;
  return true;
}
