// The remote backend against the real agent, reached through the local test transport
// (tests/remote_rsh.sh) and serving a store in memory.
#include "registry/remote/remote_registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "registry/remote/remote_transport.h"
#include "testing/registry_contract.h"
#include "testing/registry_wrapper.h"

namespace {

// A folder for the test's scripts and marks. Never destroyed, so its removal at exit runs
// after every static destructor.
const std::string& Folder() {
  static const std::string* const folder = [] {
    char pattern[] = "/tmp/dx-remote-XXXXXX";
    atexit([] { std::filesystem::remove_all(*folder); });
    return new std::string(mkdtemp(pattern) ? pattern : "/nonexistent");
  }();
  return *folder;
}
std::string Script(const std::string& name, const std::string& body) {
  const std::string file = Folder() + "/" + name;
  std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
  chmod(file.c_str(), 0755);
  return file;
}

// The remote backend with the built agent serving a fresh store in memory.
std::unique_ptr<RemoteRegistry> ConnectToAgent() {
  const char* dir = std::getenv("DX_BUILD_DIR");
  setenv("DX_REMOTE_STORE", ":memory:", 1);
  return std::make_unique<RemoteRegistry>(
      DX_SOURCE_DIR "/tests/remote_rsh.sh",
      std::string(dir && *dir ? dir : DX_DEFAULT_BUILD_DIR) + "/dorvalex-agent");
}

// The contract suite names the predefined roots directly; here each stands for the same root
// of the agent's machine, reached by a connect.
class RemoteRootsView final : public RegistryWrapper {
  using W = RegistryWrapper;  // short names keep each forwarding call on one line
  using R = RegStatus; using H = KeyHandle; using SV = std::string_view; using U = uint32_t;

 public:
  explicit RemoteRootsView(std::unique_ptr<RemoteRegistry> remote)
      : W(*remote), remote_(std::move(remote)) {
    for (H root : {kHkeyClassesRoot, kHkeyLocalMachine, kHkeyUsers, kHkeyPerformanceData,
                   kHkeyCurrentConfig})
      EXPECT_EQ(remote_->RegConnectRegistryA("\\\\CONTRACT", root, &roots_[root]), 0);
  }
  R RegCreateKeyA(H p, SV s, H* o) override { return W::RegCreateKeyA(M(p), s, o); }
  R RegOpenKeyA(H p, SV s, H* o) override { return W::RegOpenKeyA(M(p), s, o); }
  R RegOpenKeyExA(H p, SV s, U x, U a, H* o) override { return W::RegOpenKeyExA(M(p), s, x, a, o); }
  R RegQueryValueExA(H k, SV n, U* t, uint8_t* d, U* s) override {
    return W::RegQueryValueExA(M(k), n, t, d, s);
  }
  R RegSetValueExA(H k, SV n, U r, U t, const uint8_t* d, U s) override {
    return W::RegSetValueExA(M(k), n, r, t, d, s);
  }
  R RegDeleteValueA(H k, SV n) override { return W::RegDeleteValueA(M(k), n); }
  R RegDeleteKeyA(H p, SV s) override { return W::RegDeleteKeyA(M(p), s); }
  R RegEnumKeyA(H k, U i, char* n, U s) override { return W::RegEnumKeyA(M(k), i, n, s); }
  R RegEnumValueA(H k, U i, char* n, U* ns, U* t, uint8_t* d, U* ds) override {
    return W::RegEnumValueA(M(k), i, n, ns, t, d, ds);
  }
  R RegQueryInfoKeyA(H k, U* a, U* b, U* c) override { return W::RegQueryInfoKeyA(M(k), a, b, c); }
  R RegCloseKey(H k) override { return roots_.count(k) ? 0 : W::RegCloseKey(k); }

 private:
  H M(H h) const { return roots_.count(h) ? roots_.at(h) : h; }  // a root stands for its connect
  std::unique_ptr<RemoteRegistry> remote_;
  std::map<H, H> roots_;
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

// Closes wait for a later call, but never so many that the agent's answers to them pile up.
TEST(RemoteCalls, ManyClosesInARowDoNotStallTheAgent) {
  std::unique_ptr<RemoteRegistry> remote = ConnectToAgent();
  KeyHandle root = kNoKey;
  ASSERT_EQ(remote->RegConnectRegistryA("\\\\SERVER", kHkeyLocalMachine, &root), 0);
  std::vector<KeyHandle> keys(1000);
  for (KeyHandle& k : keys) ASSERT_EQ(remote->RegCreateKeyA(root, "SOFTWARE\\Lines", &k), 0);
  for (KeyHandle k : keys) ASSERT_EQ(remote->RegCloseKey(k), 0);
  EXPECT_EQ(remote->RegDeleteValueA(keys[0], "v"), kErrorInvalidHandle);
  EXPECT_EQ(remote->RegCloseKey(root), 0);
}

}  // namespace
