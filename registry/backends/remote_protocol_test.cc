// The agent's wire format: what is encoded decodes to the same call, and no damaged payload or
// stream is ever read past its end.
#include "registry/backends/remote_protocol.h"

#include <gtest/gtest.h>

namespace {

std::vector<RemoteRequest> SampleRequests() {
  std::vector<RemoteRequest> all;
  auto add = [&](RemoteOp op) -> RemoteRequest& {
    all.emplace_back();
    all.back().op = op;
    all.back().key = 0x80000002;
    return all.back();
  };
  RemoteRequest& create = add(RemoteOp::kCreateKey);
  create.name = "SOFTWARE\\A";
  create.newKey = 7;
  create.flags = kWantValues;
  RemoteRequest& openEx = add(RemoteOp::kOpenKeyEx);
  openEx.name = "X";
  openEx.access = kKeyAllAccess;
  openEx.options = 3;
  openEx.newKey = 8;
  add(RemoteOp::kOpenKey).newKey = 9;
  RemoteRequest& query = add(RemoteOp::kQueryValue);
  query.name = "v";
  query.flags = kWantType | kWantData | kWantSize;
  query.dataCapacity = 255;
  RemoteRequest& set = add(RemoteOp::kSetValue);
  set.name = "v";
  set.type = kRegBinary;
  set.reserved = 1;
  set.data = std::string("\0\1\2", 3);
  add(RemoteOp::kDeleteValue).name = "v";
  add(RemoteOp::kDeleteKey).name = "K";
  RemoteRequest& enumKey = add(RemoteOp::kEnumKey);
  enumKey.index = 4;
  enumKey.nameCapacity = 512;
  RemoteRequest& enumValue = add(RemoteOp::kEnumValue);
  enumValue.index = 2;
  enumValue.nameCapacity = 10;
  enumValue.dataCapacity = 20;
  enumValue.flags = kWantType;
  add(RemoteOp::kQueryInfoKey).flags = kWantNameLength;
  add(RemoteOp::kCloseKey).key = 12;
  return all;
}

RemoteResponse SampleResponse() {
  RemoteResponse a;
  a.status = kErrorMoreData;
  a.type = kRegSz;
  a.size = 4;
  a.nameSize = 3;
  a.maxSubkeyLength = 5;
  a.maxNameLength = 6;
  a.maxValueLength = 7;
  a.name = "abc";
  a.data = "dat";
  a.hasValues = true;
  a.values = {{"one", kRegDword, std::string("\1\0\0\0", 4)}, {"", kRegSz, "x"}};
  return a;
}

std::string Describe(const RemoteRequest& q) {
  return std::to_string(static_cast<int>(q.op)) + "|" + std::to_string(q.key) + "|" +
         std::to_string(q.newKey) + "|" + q.name + "|" + std::to_string(q.options) + "|" +
         std::to_string(q.access) + "|" + std::to_string(q.index) + "|" +
         std::to_string(q.type) + "|" + std::to_string(q.reserved) + "|" +
         std::to_string(q.nameCapacity) + "|" + std::to_string(q.dataCapacity) + "|" +
         std::to_string(q.flags) + "|" + q.data;
}

TEST(RemoteProtocol, EveryRequestSurvivesTheWire) {
  for (const RemoteRequest& q : SampleRequests()) {
    RemoteRequest back;
    ASSERT_TRUE(DecodeRequest(EncodeRequest(q), &back)) << Describe(q);
    EXPECT_EQ(Describe(back), Describe(q));
  }
}

TEST(RemoteProtocol, ResponsesCarryWhatTheirCallNeeds) {
  RemoteResponse a = SampleResponse();
  RemoteResponse back;
  ASSERT_TRUE(DecodeResponse(RemoteOp::kCreateKey, EncodeResponse(RemoteOp::kCreateKey, a), &back));
  ASSERT_EQ(back.values.size(), 2u);
  EXPECT_EQ(back.values[0].data, a.values[0].data);
  EXPECT_EQ(back.values[1].type, kRegSz);
  EXPECT_EQ(back.status, kErrorMoreData);

  back = {};
  ASSERT_TRUE(DecodeResponse(RemoteOp::kEnumValue, EncodeResponse(RemoteOp::kEnumValue, a), &back));
  EXPECT_EQ(back.name, "abc");
  EXPECT_EQ(back.data, "dat");
  EXPECT_EQ(back.nameSize, 3u);
  EXPECT_EQ(back.size, 4u);

  back = {};
  ASSERT_TRUE(
      DecodeResponse(RemoteOp::kQueryInfoKey, EncodeResponse(RemoteOp::kQueryInfoKey, a), &back));
  EXPECT_EQ(back.maxSubkeyLength + back.maxNameLength + back.maxValueLength, 18u);

  // An answer read as the answer to another call does not fit.
  EXPECT_FALSE(
      DecodeResponse(RemoteOp::kCloseKey, EncodeResponse(RemoteOp::kEnumValue, a), &back));
}

TEST(RemoteProtocol, DamagedPayloadsAreRefused) {
  std::vector<std::pair<RemoteOp, std::string>> responses;
  for (RemoteOp op : {RemoteOp::kCreateKey, RemoteOp::kQueryValue, RemoteOp::kEnumKey,
                      RemoteOp::kEnumValue, RemoteOp::kQueryInfoKey}) {
    responses.emplace_back(op, EncodeResponse(op, SampleResponse()));
  }
  // Every cut, and one byte too many, of every request and response.
  for (const RemoteRequest& q : SampleRequests()) {
    std::string whole = EncodeRequest(q);
    RemoteRequest back;
    for (size_t n = 0; n < whole.size(); ++n) {
      EXPECT_FALSE(DecodeRequest(whole.substr(0, n), &back)) << Describe(q) << " cut at " << n;
    }
    EXPECT_FALSE(DecodeRequest(whole + "x", &back)) << Describe(q);
  }
  for (const auto& [op, whole] : responses) {
    RemoteResponse back;
    for (size_t n = 0; n < whole.size(); ++n) {
      EXPECT_FALSE(DecodeResponse(op, whole.substr(0, n), &back)) << static_cast<int>(op);
    }
    EXPECT_FALSE(DecodeResponse(op, whole + "x", &back));
  }

  RemoteRequest q;
  std::string unknown = EncodeRequest(SampleRequests().back());
  unknown[0] = 99;
  EXPECT_FALSE(DecodeRequest(unknown, &q));

  // A string length beyond the payload, and a name beyond the name limit.
  RemoteRequest big;
  big.op = RemoteOp::kDeleteValue;
  big.name.assign(kMaxWireNameBytes + 1, 'n');
  EXPECT_FALSE(DecodeRequest(EncodeRequest(big), &q));
  std::string lying = EncodeRequest(SampleRequests()[5]);  // delete value "v"
  lying[9] = '\x7f';
  EXPECT_FALSE(DecodeRequest(lying, &q));

  // A value count no payload could hold is refused before anything is made for it.
  RemoteResponse a;
  std::string counted = std::string(4, '\0') + "\x01" + std::string("\xff\xff\xff\x0f", 4);
  EXPECT_FALSE(DecodeResponse(RemoteOp::kOpenKeyEx, counted, &a));
  EXPECT_TRUE(a.values.empty());
}

TEST(RemoteProtocol, GreetingsNameTheirSide) {
  uint32_t version = 0;
  EXPECT_TRUE(DecodeGreeting(EncodeGreeting(kAgentMagic), kAgentMagic, &version));
  EXPECT_EQ(version, kProtocolVersion);
  EXPECT_FALSE(DecodeGreeting(EncodeGreeting(kClientMagic), kAgentMagic, &version));
  EXPECT_FALSE(DecodeGreeting("Last login: today", kAgentMagic, &version));
  EXPECT_FALSE(DecodeGreeting(EncodeGreeting(kAgentMagic).substr(0, 11), kAgentMagic, &version));
}

TEST(RemoteProtocol, FramesComeOutWholeWhateverThePieces) {
  std::string stream;
  std::vector<std::string> payloads = {"", "a", std::string(70000, 'z'), "last"};
  for (const std::string& p : payloads) AppendFrame(p, &stream);
  for (size_t piece : {size_t{1}, size_t{3}, size_t{4096}, stream.size()}) {
    FrameSplitter splitter;
    std::vector<std::string> out;
    std::string_view frame;
    for (size_t at = 0; at < stream.size(); at += piece) {
      splitter.Append(stream.data() + at, std::min(piece, stream.size() - at));
      while (splitter.Next(&frame) == FrameSplitter::kFrame) out.emplace_back(frame);
    }
    EXPECT_EQ(out, payloads) << "pieces of " << piece;
    EXPECT_EQ(splitter.pending(), 0u);
  }
}

TEST(RemoteProtocol, OversizedFrameStopsTheStream) {
  std::string_view frame;
  {
    FrameSplitter splitter;
    std::string prefix("\x00\x00\x00\x04", 4);  // exactly the limit: waits for the bytes
    splitter.Append(prefix.data(), 4);
    EXPECT_EQ(splitter.Next(&frame), FrameSplitter::kNeedMore);
  }
  {
    FrameSplitter splitter;
    std::string prefix("\x01\x00\x00\x04", 4);  // one byte over the limit
    splitter.Append(prefix.data(), 4);
    EXPECT_EQ(splitter.Next(&frame), FrameSplitter::kOversized);
  }
}

}  // namespace
