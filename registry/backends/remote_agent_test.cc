// The agent's session over a store in memory: the greeting, the answers, the key ids a client
// may use, and the end of the connection on every kind of broken input.
#include "registry/backends/remote_agent.h"

#include <gtest/gtest.h>

#include "registry/backends/sqlite_registry.h"

namespace {

class AgentSessionTest : public testing::Test {
 protected:
  AgentSessionTest() : store_(OpenSqliteRegistry(":memory:")), session_(*store_) {}

  // Sends the greeting (unless told not to) and `requests`; returns the decoded answers.
  bool Exchange(const std::vector<RemoteRequest>& requests, std::vector<RemoteResponse>* answers,
                bool greet = true) {
    std::string in = greet ? EncodeGreeting(kClientMagic) : "";
    for (const RemoteRequest& q : requests) AppendFrame(EncodeRequest(q), &in);
    std::string out;
    bool ok = session_.Feed(in, &out, &error_);
    FrameSplitter splitter;
    splitter.Append(out.data(), out.size());
    std::string_view frame;
    for (size_t i = 0; splitter.Next(&frame) == FrameSplitter::kFrame; ++i) {
      answers->emplace_back();
      EXPECT_TRUE(DecodeResponse(requests.at(i).op, frame, &answers->back()));
    }
    return ok;
  }

  static RemoteRequest Create(uint64_t parent, std::string name, uint64_t id) {
    RemoteRequest q;
    q.op = RemoteOp::kCreateKey;
    q.key = parent;
    q.name = std::move(name);
    q.newKey = id;
    q.flags = kWantValues;
    return q;
  }
  static RemoteRequest Set(uint64_t key, std::string name, std::string data) {
    RemoteRequest q;
    q.op = RemoteOp::kSetValue;
    q.key = key;
    q.name = std::move(name);
    q.type = kRegSz;
    q.data = std::move(data);
    return q;
  }
  static RemoteRequest Close(uint64_t key) {
    RemoteRequest q;
    q.op = RemoteOp::kCloseKey;
    q.key = key;
    return q;
  }

  std::unique_ptr<RegistryService> store_;
  AgentSession session_;
  std::string error_;
};

TEST_F(AgentSessionTest, PipelinedCallsAreAnsweredInOrder) {
  RemoteRequest query;
  query.op = RemoteOp::kQueryValue;
  query.key = 1;
  query.name = "V";
  query.flags = kWantType | kWantData | kWantSize;
  query.dataCapacity = 255;
  std::vector<RemoteResponse> a;
  ASSERT_TRUE(Exchange({Create(kHkeyLocalMachine, "SOFTWARE\\A", 1), Set(1, "v", "hello"), query,
                        Close(1), Create(kHkeyLocalMachine, "SOFTWARE\\A", 2)},
                       &a));
  ASSERT_EQ(a.size(), 5u);
  EXPECT_EQ(a[0].status, 0);
  EXPECT_TRUE(a[0].hasValues);
  EXPECT_TRUE(a[0].values.empty());
  EXPECT_EQ(a[2].status, 0);
  EXPECT_EQ(a[2].data, "hello");
  EXPECT_EQ(a[2].type, kRegSz);
  EXPECT_EQ(a[3].status, 0);
  // The reopened key brings the value along.
  ASSERT_EQ(a[4].values.size(), 1u);
  EXPECT_EQ(a[4].values[0].name, "v");
  EXPECT_EQ(a[4].values[0].data, "hello");
}

TEST_F(AgentSessionTest, OnlyKnownKeysAndServedRootsAreReached) {
  std::vector<RemoteResponse> a;
  ASSERT_TRUE(Exchange({Set(42, "v", "x"), Create(kHkeyCurrentUser, "S", 1),
                        Create(kHkeyClassesRoot, "S", 2), Create(kHkeyUsers, "S", 3), Close(3),
                        Close(3), Set(3, "v", "x")},
                       &a));
  ASSERT_EQ(a.size(), 7u);
  EXPECT_EQ(a[0].status, kErrorInvalidHandle);
  EXPECT_EQ(a[1].status, kErrorInvalidHandle);
  EXPECT_EQ(a[2].status, 0);
  EXPECT_EQ(a[3].status, 0);
  EXPECT_EQ(a[4].status, 0);
  EXPECT_EQ(a[5].status, kErrorInvalidHandle);  // closed already
  EXPECT_EQ(a[6].status, kErrorInvalidHandle);
}

TEST_F(AgentSessionTest, LargeKeysComeWithoutTheirValues) {
  std::vector<RemoteRequest> fill = {Create(kHkeyLocalMachine, "SOFTWARE\\Big", 1)};
  for (uint32_t i = 0; i <= kPrefetchMaxValues; ++i) fill.push_back(Set(1, std::to_string(i), "d"));
  fill.push_back(Create(kHkeyLocalMachine, "SOFTWARE\\Big", 2));
  std::vector<RemoteResponse> a;
  ASSERT_TRUE(Exchange(fill, &a));
  ASSERT_EQ(a.size(), fill.size());
  EXPECT_EQ(a.back().status, 0);
  EXPECT_FALSE(a.back().hasValues);
}

TEST_F(AgentSessionTest, BrokenInputEndsTheConnection) {
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"not our client", "SSH-2.0-OpenSSH\r\n\r\n"},
      {"other version", std::string(kClientMagic) + std::string("\x02\x00\x00\x00", 4)},
      {"oversized frame", EncodeGreeting(kClientMagic) + std::string("\xff\xff\xff\xff", 4)},
      {"unknown call", EncodeGreeting(kClientMagic) + std::string("\x01\x00\x00\x00\x63", 5)},
  };
  for (const Case& c : cases) {
    std::unique_ptr<RegistryService> store = OpenSqliteRegistry(":memory:");
    AgentSession session(*store);
    std::string out;
    std::string error;
    EXPECT_FALSE(session.Feed(c.bytes, &out, &error)) << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
  }

  // A key id that is still in use is a broken client; answers before it still go out.
  std::vector<RemoteResponse> a;
  EXPECT_FALSE(Exchange({Create(kHkeyLocalMachine, "S", 5), Create(kHkeyLocalMachine, "T", 5)}, &a));
  EXPECT_EQ(a.size(), 1u);
}

TEST_F(AgentSessionTest, InputMayEndOnlyBetweenFrames) {
  std::string out;
  EXPECT_TRUE(session_.AtFrameBoundary());  // nothing at all was sent
  std::string in = EncodeGreeting(kClientMagic);
  AppendFrame(EncodeRequest(Close(kHkeyLocalMachine)), &in);
  for (size_t i = 0; i < in.size(); ++i) {
    ASSERT_TRUE(session_.Feed(in.substr(i, 1), &out, &error_));
    EXPECT_EQ(session_.AtFrameBoundary(), i + 1 == in.size() || i + 1 == kGreetingBytes) << i;
  }
  EXPECT_FALSE(out.empty());
}

}  // namespace
