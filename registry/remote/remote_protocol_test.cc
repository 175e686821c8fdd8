// The agent's wire format: no damaged payload or stream is ever read past its end or taken for
// a call or an answer.
#include "registry/remote/remote_protocol.h"

#include <gtest/gtest.h>

namespace {

using Op = RemoteOp;

// One request of every call, every field set; each call encodes the fields it takes.
std::vector<RemoteRequest> SampleRequests() {
  std::vector<RemoteRequest> all;
  for (int op = 1; op <= static_cast<int>(Op::kCloseKey); ++op)
    all.push_back({static_cast<Op>(op), 0x80000002, 7, "SOFTWARE\\A", 3, kKeyAllAccess, 4,
                   kRegBinary, 1, 512, 255, kWantType | kWantData, std::string("\0\1\2", 3)});
  return all;
}

const RemoteResponse kSample = {
    .status = kErrorMoreData, .type = kRegSz, .size = 4, .nameSize = 3, .maxSubkeyLength = 5,
    .name = "abc", .data = "dat", .hasValues = true,
    .values = {{"one", kRegDword, std::string("\1\0\0\0", 4)}, {"", kRegSz, "x"}}};

// What the agent and the backend exchange arrives whole (the contract suite run through the
// agent checks that every field survives); here, nothing damaged is ever taken for a call or
// an answer: every cut, and one byte too many, of every request and response.
TEST(RemoteProtocol, DamagedPayloadsAreRefused) {
  RemoteRequest q;
  for (const RemoteRequest& sample : SampleRequests()) {
    const std::string whole = EncodeRequest(sample);
    const int op = static_cast<int>(sample.op);
    ASSERT_TRUE(DecodeRequest(whole, &q)) << op;
    for (size_t n = 0; n < whole.size(); ++n)
      EXPECT_FALSE(DecodeRequest(whole.substr(0, n), &q)) << op << " cut at " << n;
    EXPECT_FALSE(DecodeRequest(whole + "x", &q)) << op;
  }
  RemoteResponse a;
  for (Op op : {Op::kCreateKey, Op::kQueryValue, Op::kEnumKey, Op::kEnumValue, Op::kQueryInfoKey}) {
    const std::string whole = EncodeResponse(op, kSample);
    ASSERT_TRUE(DecodeResponse(op, whole, &a)) << static_cast<int>(op);
    for (size_t n = 0; n < whole.size(); ++n)
      EXPECT_FALSE(DecodeResponse(op, whole.substr(0, n), &a)) << static_cast<int>(op);
    EXPECT_FALSE(DecodeResponse(op, whole + "x", &a));
  }
}

}  // namespace
