// The remote backend against the real agent, reached through the local test transport
// (tests/remote_rsh.sh) and serving a store in memory.
#include "registry/backends/remote_registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "registry/backends/remote_transport.h"
#include "testing/registry_contract.h"
#include "testing/registry_wrapper.h"

namespace {

std::string AgentBinary() {
  const char* dir = std::getenv("DX_BUILD_DIR");
  return std::string(dir && *dir ? dir : DX_DEFAULT_BUILD_DIR) + "/dorvalex-agent";
}

// A folder for the test's scripts and marks, removed when the run ends.
// The name outlives every static destructor, since the removal runs after them.
const std::string& Folder() {
  static const std::string* const folder = [] {
    char pattern[] = "/tmp/dx-remote-XXXXXX";
    const char* made = mkdtemp(pattern);
    return new std::string(made ? made : "/nonexistent");
  }();
  static const bool removedAtExit =
      atexit([] { std::filesystem::remove_all(*folder); }) == 0;
  (void)removedAtExit;
  return *folder;
}
std::string Script(const std::string& name, const std::string& body) {
  const std::string file = Folder() + "/" + name;
  std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
  chmod(file.c_str(), 0755);
  return file;
}

// The remote backend with an agent that serves a fresh store in memory.
std::unique_ptr<RemoteRegistry> ConnectToAgent(const std::string& agent = AgentBinary()) {
  setenv("DX_REMOTE_STORE", ":memory:", 1);
  return std::make_unique<RemoteRegistry>(std::string(DX_SOURCE_DIR) + "/tests/remote_rsh.sh",
                                          agent);
}

// The contract suite names the predefined roots directly; here each stands for the same root
// of the agent's machine, reached by a connect.
class RemoteRootsView final : public RegistryWrapper {
 public:
  explicit RemoteRootsView(std::unique_ptr<RemoteRegistry> remote)
      : RegistryWrapper(*remote), remote_(std::move(remote)) {
    for (KeyHandle root : {kHkeyClassesRoot, kHkeyLocalMachine, kHkeyUsers, kHkeyPerformanceData,
                           kHkeyCurrentConfig})
      EXPECT_EQ(remote_->RegConnectRegistryA("\\\\CONTRACT", root, &roots_[root]), 0);
  }
  using W = RegistryWrapper;
  using H = KeyHandle;
  using SV = std::string_view;
  RegStatus RegCreateKeyA(H p, SV s, H* out) override { return W::RegCreateKeyA(Map(p), s, out); }
  RegStatus RegOpenKeyA(H p, SV s, H* out) override { return W::RegOpenKeyA(Map(p), s, out); }
  RegStatus RegOpenKeyExA(H p, SV s, uint32_t o, uint32_t a, H* out) override {
    return W::RegOpenKeyExA(Map(p), s, o, a, out);
  }
  RegStatus RegQueryValueExA(H k, SV n, uint32_t* t, uint8_t* d, uint32_t* s) override {
    return W::RegQueryValueExA(Map(k), n, t, d, s);
  }
  RegStatus RegSetValueExA(H k, SV n, uint32_t r, uint32_t t, const uint8_t* d,
                           uint32_t s) override {
    return W::RegSetValueExA(Map(k), n, r, t, d, s);
  }
  RegStatus RegDeleteValueA(H k, SV n) override { return W::RegDeleteValueA(Map(k), n); }
  RegStatus RegDeleteKeyA(H p, SV s) override { return W::RegDeleteKeyA(Map(p), s); }
  RegStatus RegEnumKeyA(H k, uint32_t i, char* n, uint32_t s) override {
    return W::RegEnumKeyA(Map(k), i, n, s);
  }
  RegStatus RegEnumValueA(H k, uint32_t i, char* n, uint32_t* ns, uint32_t* t, uint8_t* d,
                          uint32_t* ds) override {
    return W::RegEnumValueA(Map(k), i, n, ns, t, d, ds);
  }
  RegStatus RegQueryInfoKeyA(H k, uint32_t* a, uint32_t* b, uint32_t* c) override {
    return W::RegQueryInfoKeyA(Map(k), a, b, c);
  }
  RegStatus RegCloseKey(H k) override { return roots_.count(k) ? 0 : W::RegCloseKey(k); }

 private:
  KeyHandle Map(KeyHandle h) const { return roots_.count(h) ? roots_.at(h) : h; }
  std::unique_ptr<RemoteRegistry> remote_;
  std::map<KeyHandle, KeyHandle> roots_;
};

const bool kContractRegistered = [] {
  RegisterRegistryContractTests("RemoteRegistryContract",
                                [] { return std::make_unique<RemoteRootsView>(ConnectToAgent()); });
  return true;
}();

TEST(RemoteConnect, TransportCommandKeepsTheHostOneWord) {
  using Words = std::vector<std::string>;
  EXPECT_EQ(TransportCommand("", "", "H"), (Words{"ssh", "--", "H", "dorvalex-agent"}));
  EXPECT_EQ(TransportCommand(" ssh\t-p 2222 ", "a b", "x y;z"),
            (Words{"ssh", "-p", "2222", "--", "x y;z", "a", "b"}));
}

TEST(RemoteConnect, UnreachableHostsGiveNetworkPathNotFound) {
  const std::string started = Folder() + "/started",
                    marking = Script("marking", "touch '" + started + "'"),
                    banner = Script("banner", "echo Welcome to the machine; cat >/dev/null");
  // Hosts refused before a transport starts (none, or one ssh would take for an option), then
  // transports that end before the agent's greeting or print something else.
  for (auto [rsh, machine] : {std::pair{marking, ""}, {marking, "\\\\"}, {marking, "\\\\-l"},
                              {marking, "-oProxyCommand=x"}, {std::string("false"), "H"},
                              {std::string("echo"), "H"}, {banner, "H"}}) {
    RemoteRegistry remote(rsh, "");
    KeyHandle root = 99;
    EXPECT_EQ(remote.RegConnectRegistryA(machine, kHkeyLocalMachine, &root), kErrorBadNetPath)
        << rsh << " " << machine;
    EXPECT_EQ(root, kNoKey);
    // The host stays unreachable for the run.
    EXPECT_EQ(remote.RegConnectRegistryA(machine, kHkeyUsers, &root), kErrorBadNetPath);
  }
  EXPECT_EQ(access(started.c_str(), F_OK), -1) << "a transport was started";
}

TEST(RemoteCalls, ValueLineCostsTwoRoundTripsAndANoActionLineOne) {
  std::unique_ptr<RemoteRegistry> remote = ConnectToAgent();
  KeyHandle root = kNoKey, key = kNoKey;
  char text[255] = {};
  uint32_t size = 0;
  uint64_t before = 0;
  for (int line = 0; line <= 50; ++line) {
    if (line == 1) before = remote->stats().roundTrips;
    // What one UPDATE value line does: connect, create, query the old value, set, close both.
    ASSERT_EQ(remote->RegConnectRegistryA("\\\\SERVER", kHkeyLocalMachine, &root), 0);
    ASSERT_EQ(remote->RegCreateKeyA(root, "SOFTWARE\\Lines", &key), 0);
    std::string name = "v" + std::to_string(line % 7);
    size = sizeof text;
    remote->RegQueryValueExA(key, name, nullptr, reinterpret_cast<uint8_t*>(text), &size);
    const std::string value = "line " + std::to_string(line);
    ASSERT_EQ(remote->RegSetValueExA(key, name, 0, kRegSz,
                                     reinterpret_cast<const uint8_t*>(value.data()),
                                     static_cast<uint32_t>(value.size())), 0);
    ASSERT_EQ(remote->RegCloseKey(root), 0);
    ASSERT_EQ(remote->RegCloseKey(key), 0);
  }
  EXPECT_EQ(remote->stats().roundTrips - before, 2u * 50);
  // A no-action line: connect, open, query, close.
  before = remote->stats().roundTrips;
  ASSERT_EQ(remote->RegConnectRegistryA("\\\\SERVER", kHkeyLocalMachine, &root), 0);
  ASSERT_EQ(remote->RegOpenKeyExA(root, "SOFTWARE\\Lines", 0, kKeyAllAccess, &key), 0);
  size = sizeof text;
  EXPECT_EQ(remote->RegQueryValueExA(key, "V6", nullptr, reinterpret_cast<uint8_t*>(text), &size),
            0);
  EXPECT_EQ(std::string(text, size), "line 48");
  remote->RegCloseKey(key);
  EXPECT_EQ(remote->stats().roundTrips - before, 1u);

  // Closes wait for a later call, but never so many that the agent's answers to them pile up.
  std::vector<KeyHandle> keys(1500);
  for (KeyHandle& k : keys) ASSERT_EQ(remote->RegOpenKeyA(root, "SOFTWARE\\Lines", &k), 0);
  for (KeyHandle k : keys) ASSERT_EQ(remote->RegCloseKey(k), 0);
  EXPECT_EQ(remote->RegDeleteValueA(keys[0], "v"), kErrorInvalidHandle);
  EXPECT_EQ(remote->RegCloseKey(root), 0);
}

TEST(RemoteCalls, BrokenAnswersEndTheConnection) {
  // What a fake agent sends after its greeting, as printf escapes.
  for (std::string answer : {"\\377\\377\\377\\377",            // oversized frame
                             "\\010\\000\\000\\000\\000\\000",  // truncated frame
                             "\\014\\000\\000\\000\\000\\000\\000\\000\\001\\000\\000\\000"}) {
    std::string agent = Script(
        "fake", "head -c 12 >/dev/null\nprintf 'DXREG-A\\n\\001\\000\\000\\000'\nprintf '" +
                    answer + "'");
    std::unique_ptr<RemoteRegistry> remote = ConnectToAgent(agent);
    KeyHandle root = kNoKey, key = kNoKey;
    ASSERT_EQ(remote->RegConnectRegistryA("H", kHkeyLocalMachine, &root), 0) << answer;
    EXPECT_EQ(remote->RegCreateKeyA(root, "SOFTWARE", &key), kErrorRpcUnavailable) << answer;
    EXPECT_EQ(key, kNoKey);
  }
}

}  // namespace
