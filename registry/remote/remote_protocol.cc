// Encoding and checked decoding of the agent's greeting, frames, requests and responses.
// Integers are fixed-width little-endian; byte strings are a 32-bit length and the bytes.
#include "registry/remote/remote_protocol.h"

#include <cstring>

namespace {

class Writer {
 public:
  void U8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<char>(v >> (8 * i)));
  }
  void U64(uint64_t v) {
    for (int i = 0; i < 8; ++i) out_.push_back(static_cast<char>(v >> (8 * i)));
  }
  void Bytes(std::string_view v) {
    U32(static_cast<uint32_t>(v.size()));
    out_.append(v);
  }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
};

// Every read checks the bytes left first; after one failed read all later reads fail too.
class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}
  bool U8(uint8_t* v) {
    if (!Have(1)) return false;
    *v = static_cast<uint8_t>(in_[pos_++]);
    return true;
  }
  bool U32(uint32_t* v) {
    if (!Have(4)) return false;
    uint32_t r = 0;
    for (int i = 0; i < 4; ++i) r |= uint32_t{static_cast<uint8_t>(in_[pos_ + i])} << (8 * i);
    pos_ += 4;
    *v = r;
    return true;
  }
  bool I32(int32_t* v) {
    uint32_t u = 0;
    if (!U32(&u)) return false;
    *v = static_cast<int32_t>(u);
    return true;
  }
  bool U64(uint64_t* v) {
    if (!Have(8)) return false;
    uint64_t r = 0;
    for (int i = 0; i < 8; ++i) r |= uint64_t{static_cast<uint8_t>(in_[pos_ + i])} << (8 * i);
    pos_ += 8;
    *v = r;
    return true;
  }
  bool Bytes(std::string* v, uint32_t limit) {
    uint32_t length = 0;
    if (!U32(&length) || length > limit || !Have(length)) return Fail();
    v->assign(in_.substr(pos_, length));
    pos_ += length;
    return true;
  }
  bool Done() const { return ok_ && pos_ == in_.size(); }
  size_t left() const { return in_.size() - pos_; }

 private:
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

// The smallest encoding of one prefetched value: two empty strings and a type.
constexpr size_t kMinWireValueBytes = 12;

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
  return r.U32(version) && r.Done();
}

std::string EncodeRequest(const RemoteRequest& q) {
  Writer w;
  w.U8(static_cast<uint8_t>(q.op));
  w.U64(q.key);
  switch (q.op) {
    case RemoteOp::kCreateKey:
      w.Bytes(q.name);
      w.U64(q.newKey);
      w.U8(q.flags);
      break;
    case RemoteOp::kOpenKeyEx:
      w.Bytes(q.name);
      w.U32(q.options);
      w.U32(q.access);
      w.U64(q.newKey);
      w.U8(q.flags);
      break;
    case RemoteOp::kOpenKey:
      w.Bytes(q.name);
      w.U64(q.newKey);
      break;
    case RemoteOp::kQueryValue:
      w.Bytes(q.name);
      w.U8(q.flags);
      w.U32(q.dataCapacity);
      w.U32(q.type);
      break;
    case RemoteOp::kSetValue:
      w.Bytes(q.name);
      w.U32(q.reserved);
      w.U32(q.type);
      w.Bytes(q.data);
      break;
    case RemoteOp::kDeleteValue:
    case RemoteOp::kDeleteKey:
      w.Bytes(q.name);
      break;
    case RemoteOp::kEnumKey:
      w.U32(q.index);
      w.U32(q.nameCapacity);
      break;
    case RemoteOp::kEnumValue:
      w.U32(q.index);
      w.U32(q.nameCapacity);
      w.U32(q.dataCapacity);
      w.U8(q.flags);
      w.U32(q.type);
      break;
    case RemoteOp::kQueryInfoKey:
      w.U8(q.flags);
      break;
    case RemoteOp::kCloseKey:
    case RemoteOp::kBeginChanges:
    case RemoteOp::kSaveChanges:
    case RemoteOp::kEndChanges:
      break;
  }
  return w.Take();
}

bool DecodeRequest(std::string_view payload, RemoteRequest* q) {
  Reader r(payload);
  uint8_t op = 0;
  if (!r.U8(&op) || !r.U64(&q->key)) return false;
  q->op = static_cast<RemoteOp>(op);
  switch (q->op) {
    case RemoteOp::kCreateKey:
      r.Bytes(&q->name, kMaxWireNameBytes) && r.U64(&q->newKey) && r.U8(&q->flags);
      break;
    case RemoteOp::kOpenKeyEx:
      r.Bytes(&q->name, kMaxWireNameBytes) && r.U32(&q->options) && r.U32(&q->access) &&
          r.U64(&q->newKey) && r.U8(&q->flags);
      break;
    case RemoteOp::kOpenKey:
      r.Bytes(&q->name, kMaxWireNameBytes) && r.U64(&q->newKey);
      break;
    case RemoteOp::kQueryValue:
      r.Bytes(&q->name, kMaxWireNameBytes) && r.U8(&q->flags) && r.U32(&q->dataCapacity) &&
          r.U32(&q->type);
      break;
    case RemoteOp::kSetValue:
      r.Bytes(&q->name, kMaxWireNameBytes) && r.U32(&q->reserved) && r.U32(&q->type) &&
          r.Bytes(&q->data, kMaxWireValueBytes);
      break;
    case RemoteOp::kDeleteValue:
    case RemoteOp::kDeleteKey:
      r.Bytes(&q->name, kMaxWireNameBytes);
      break;
    case RemoteOp::kEnumKey:
      r.U32(&q->index) && r.U32(&q->nameCapacity);
      break;
    case RemoteOp::kEnumValue:
      r.U32(&q->index) && r.U32(&q->nameCapacity) && r.U32(&q->dataCapacity) &&
          r.U8(&q->flags) && r.U32(&q->type);
      break;
    case RemoteOp::kQueryInfoKey:
      r.U8(&q->flags);
      break;
    case RemoteOp::kCloseKey:
    case RemoteOp::kBeginChanges:
    case RemoteOp::kSaveChanges:
    case RemoteOp::kEndChanges:
      break;
    default:
      return false;
  }
  return r.Done();
}

std::string EncodeResponse(RemoteOp op, const RemoteResponse& a) {
  Writer w;
  w.U32(static_cast<uint32_t>(a.status));
  switch (op) {
    case RemoteOp::kCreateKey:
    case RemoteOp::kOpenKeyEx:
      w.U8(a.hasValues ? 1 : 0);
      if (a.hasValues) {
        w.U32(static_cast<uint32_t>(a.values.size()));
        for (const WireValue& v : a.values) {
          w.Bytes(v.name);
          w.U32(v.type);
          w.Bytes(v.data);
        }
      }
      break;
    case RemoteOp::kQueryValue:
      w.U32(a.type);
      w.U32(a.size);
      w.Bytes(a.data);
      break;
    case RemoteOp::kEnumKey:
      w.Bytes(a.name);
      break;
    case RemoteOp::kEnumValue:
      w.U32(a.nameSize);
      w.U32(a.type);
      w.U32(a.size);
      w.Bytes(a.name);
      w.Bytes(a.data);
      break;
    case RemoteOp::kQueryInfoKey:
      w.U32(a.maxSubkeyLength);
      w.U32(a.maxNameLength);
      w.U32(a.maxValueLength);
      break;
    default:
      break;
  }
  return w.Take();
}

bool DecodeResponse(RemoteOp op, std::string_view payload, RemoteResponse* a) {
  Reader r(payload);
  if (!r.I32(&a->status)) return false;
  switch (op) {
    case RemoteOp::kCreateKey:
    case RemoteOp::kOpenKeyEx: {
      uint8_t has = 0;
      if (!r.U8(&has) || has > 1) return false;
      a->hasValues = has == 1;
      if (!a->hasValues) break;
      uint32_t count = 0;
      // A count that the payload cannot hold is refused before anything is reserved for it.
      if (!r.U32(&count) || count > r.left() / kMinWireValueBytes) return false;
      a->values.resize(count);
      for (WireValue& v : a->values) {
        if (!r.Bytes(&v.name, kMaxWireNameBytes) || !r.U32(&v.type) ||
            !r.Bytes(&v.data, kMaxWireValueBytes)) {
          return false;
        }
      }
      break;
    }
    case RemoteOp::kQueryValue:
      r.U32(&a->type) && r.U32(&a->size) && r.Bytes(&a->data, kMaxWireValueBytes);
      break;
    case RemoteOp::kEnumKey:
      r.Bytes(&a->name, kMaxWireNameBytes);
      break;
    case RemoteOp::kEnumValue:
      r.U32(&a->nameSize) && r.U32(&a->type) && r.U32(&a->size) &&
          r.Bytes(&a->name, kMaxWireNameBytes) && r.Bytes(&a->data, kMaxWireValueBytes);
      break;
    case RemoteOp::kQueryInfoKey:
      r.U32(&a->maxSubkeyLength) && r.U32(&a->maxNameLength) && r.U32(&a->maxValueLength);
      break;
    case RemoteOp::kOpenKey:
    case RemoteOp::kSetValue:
    case RemoteOp::kDeleteValue:
    case RemoteOp::kDeleteKey:
    case RemoteOp::kCloseKey:
    case RemoteOp::kBeginChanges:
    case RemoteOp::kSaveChanges:
    case RemoteOp::kEndChanges:
      break;
    default:
      return false;
  }
  return r.Done();
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
  r.U32(&length);
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
