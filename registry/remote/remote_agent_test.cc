// The agent's session over a store in memory: the key ids a client may use, and the end of the
// connection on every kind of broken input.
#include "registry/remote/remote_agent.h"

#include <gtest/gtest.h>

#include "registry/sqlite/sqlite_registry.h"

namespace {

RemoteRequest Call(RemoteOp op, uint64_t key, uint64_t newKey = 0) {
  return {.op = op, .key = key, .newKey = newKey, .name = "S", .data = "x"};
}

// Sends the greeting and `calls` in one piece to a fresh session; returns whether the session
// goes on, with the result codes of the answers in *codes.
bool Exchange(const std::vector<RemoteRequest>& calls, std::vector<RegStatus>* codes) {
  std::unique_ptr<RegistryService> store = OpenSqliteRegistry(":memory:");
  AgentSession session(*store);
  std::string in = EncodeGreeting(kClientMagic), out, error;
  for (const RemoteRequest& q : calls) AppendFrame(EncodeRequest(q), &in);
  bool ok = session.Feed(in, &out, &error);
  FrameSplitter splitter;
  splitter.Append(out.data(), out.size());
  std::string_view frame;
  for (size_t i = 0; splitter.Next(&frame) == FrameSplitter::kFrame; ++i) {
    RemoteResponse answer;
    EXPECT_TRUE(DecodeResponse(calls.at(i).op, frame, &answer));
    codes->push_back(answer.status);
  }
  return ok;
}

TEST(AgentSessionTest, OnlyKnownKeysAndServedRootsAreReached) {
  using Op = RemoteOp;
  std::vector<RegStatus> codes;
  ASSERT_TRUE(Exchange({Call(Op::kSetValue, 42), Call(Op::kCreateKey, kHkeyCurrentUser, 9),
                        Call(Op::kCreateKey, kHkeyClassesRoot, 3), Call(Op::kSetValue, 3),
                        Call(Op::kCloseKey, 3), Call(Op::kCloseKey, 3), Call(Op::kSetValue, 3)},
                       &codes));
  // An unknown id, HKEY_CURRENT_USER (which no other machine serves), an id after its close.
  EXPECT_EQ(codes, (std::vector<RegStatus>{6, 6, 0, 0, 0, 6, 6}));
  // A key id that is still in use is a broken client; answers before it still go out.
  codes.clear();
  EXPECT_FALSE(Exchange({Call(Op::kCreateKey, kHkeyLocalMachine, 5),
                         Call(Op::kCreateKey, kHkeyLocalMachine, 5)}, &codes));
  EXPECT_EQ(codes, std::vector<RegStatus>{0});
}

}  // namespace
