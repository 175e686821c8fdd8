// The remote backend against the real agent, reached through the local test transport
// (tests/remote_rsh.sh), with a store of its own in a temporary folder.
#include "registry/backends/remote_registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "registry/backends/machine_registry.h"
#include "registry/backends/remote_transport.h"
#include "registry/backends/sqlite_registry.h"
#include "testing/registry_contract.h"

namespace {

std::string BuildDir() {
  const char* dir = std::getenv("DX_BUILD_DIR");
  return dir && *dir ? dir : DX_DEFAULT_BUILD_DIR;
}
std::string RshScript() { return std::string(DX_SOURCE_DIR) + "/tests/remote_rsh.sh"; }
std::string AgentBinary() { return BuildDir() + "/dorvalex-agent"; }

// A temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/dx-remote-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  std::string Script(const std::string& name, const std::string& body) const {
    std::string file = *this / name;
    std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
    chmod(file.c_str(), 0755);
    return file;
  }

 private:
  std::string path_;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

RegStatus SetText(RegistryService& r, KeyHandle key, std::string_view name,
                  std::string_view text) {
  return r.RegSetValueExA(key, name, 0, kRegSz, reinterpret_cast<const uint8_t*>(text.data()),
                          static_cast<uint32_t>(text.size()));
}

// The remote backend with the agent serving the store at `store`.
std::unique_ptr<RemoteRegistry> ConnectToStore(const std::string& store,
                                               const std::string& agent = AgentBinary()) {
  setenv("DX_REMOTE_STORE", store.c_str(), 1);
  return std::make_unique<RemoteRegistry>(RshScript(), agent);
}

// The contract suite names the predefined roots directly; here each stands for the same root
// of the agent's machine, reached by a connect.
class RemoteRootsView final : public RegistryService {
 public:
  RemoteRootsView() : remote_(ConnectToStore(dir_ / "remote.db")) {
    for (KeyHandle root : {kHkeyClassesRoot, kHkeyLocalMachine, kHkeyUsers, kHkeyPerformanceData,
                           kHkeyCurrentConfig}) {
      EXPECT_EQ(remote_->RegConnectRegistryA("\\\\CONTRACT", root, &roots_[root]), 0);
    }
  }
  RegStatus RegConnectRegistryA(std::string_view m, KeyHandle root, KeyHandle* out) override {
    return remote_->RegConnectRegistryA(m, root, out);
  }
  RegStatus RegCreateKeyA(KeyHandle p, std::string_view s, KeyHandle* out) override {
    return remote_->RegCreateKeyA(Map(p), s, out);
  }
  RegStatus RegOpenKeyExA(KeyHandle p, std::string_view s, uint32_t o, uint32_t a,
                          KeyHandle* out) override {
    return remote_->RegOpenKeyExA(Map(p), s, o, a, out);
  }
  RegStatus RegOpenKeyA(KeyHandle p, std::string_view s, KeyHandle* out) override {
    return remote_->RegOpenKeyA(Map(p), s, out);
  }
  RegStatus RegQueryValueExA(KeyHandle k, std::string_view n, uint32_t* t, uint8_t* d,
                             uint32_t* s) override {
    return remote_->RegQueryValueExA(Map(k), n, t, d, s);
  }
  RegStatus RegSetValueExA(KeyHandle k, std::string_view n, uint32_t r, uint32_t t,
                           const uint8_t* d, uint32_t s) override {
    return remote_->RegSetValueExA(Map(k), n, r, t, d, s);
  }
  RegStatus RegDeleteValueA(KeyHandle k, std::string_view n) override {
    return remote_->RegDeleteValueA(Map(k), n);
  }
  RegStatus RegDeleteKeyA(KeyHandle p, std::string_view s) override {
    return remote_->RegDeleteKeyA(Map(p), s);
  }
  RegStatus RegEnumKeyA(KeyHandle k, uint32_t i, char* n, uint32_t s) override {
    return remote_->RegEnumKeyA(Map(k), i, n, s);
  }
  RegStatus RegEnumValueA(KeyHandle k, uint32_t i, char* n, uint32_t* ns, uint32_t* t,
                          uint8_t* d, uint32_t* ds) override {
    return remote_->RegEnumValueA(Map(k), i, n, ns, t, d, ds);
  }
  RegStatus RegQueryInfoKeyA(KeyHandle k, uint32_t* a, uint32_t* b, uint32_t* c) override {
    return remote_->RegQueryInfoKeyA(Map(k), a, b, c);
  }
  RegStatus RegCloseKey(KeyHandle k) override {
    return roots_.count(k) ? kErrorSuccess : remote_->RegCloseKey(k);
  }

 private:
  KeyHandle Map(KeyHandle h) const {
    auto it = roots_.find(h);
    return it == roots_.end() ? h : it->second;
  }
  TempDir dir_;
  std::unique_ptr<RemoteRegistry> remote_;
  std::map<KeyHandle, KeyHandle> roots_;
};

const bool kContractRegistered = [] {
  RegisterRegistryContractTests("RemoteRegistryContract",
                                [] { return std::make_unique<RemoteRootsView>(); });
  return true;
}();

TEST(RemoteNames, HostAndCommand) {
  struct {
    const char* machine;
    const char* host;
  } hosts[] = {{"\\\\SERVER", "SERVER"}, {"\\SERVER", "SERVER"}, {"SERVER", "SERVER"},
               {"\\\\\\SERVER", "SERVER"}, {"\\\\", ""}, {"", ""}, {"A\\B", "A\\B"}};
  for (const auto& c : hosts) EXPECT_EQ(HostOfMachine(c.machine), c.host) << c.machine;

  using Words = std::vector<std::string>;
  EXPECT_EQ(TransportCommand("", "", "H"), (Words{"ssh", "--", "H", "dorvalex-agent"}));
  EXPECT_EQ(TransportCommand(" ssh\t-p 2222 ", "/opt/dx/dorvalex-agent", "H"),
            (Words{"ssh", "-p", "2222", "--", "H", "/opt/dx/dorvalex-agent"}));
  // A host is one word whatever it holds.
  EXPECT_EQ(TransportCommand("rsh", "a b", "x y;z"), (Words{"rsh", "--", "x y;z", "a", "b"}));
}

TEST(RemoteConnect, RefusedHostsNeverStartATransport) {
  TempDir dir;
  setenv("DX_RSH_LOG", (dir / "hosts").c_str(), 1);
  std::unique_ptr<RemoteRegistry> remote = ConnectToStore(dir / "remote.db");
  std::string marker = dir / "marker";
  for (std::string machine : {std::string(""), std::string("\\\\"), std::string("\\"),
                              "-oProxyCommand=touch " + marker, "\\\\-oProxyCommand=touch " + marker,
                              std::string("\\\\-l")}) {
    KeyHandle root = 99;
    EXPECT_EQ(remote->RegConnectRegistryA(machine, kHkeyLocalMachine, &root), kErrorBadNetPath)
        << machine;
    EXPECT_EQ(root, kNoKey);
  }
  EXPECT_EQ(access((dir / "hosts").c_str(), F_OK), -1) << "a transport was started";
  EXPECT_EQ(access(marker.c_str(), F_OK), -1);
  unsetenv("DX_RSH_LOG");
}

TEST(RemoteConnect, TransportsThatNeverGreetGiveNetworkPathNotFound) {
  TempDir dir;
  std::string rsh[] = {
      dir / "missing-command",
      "false",
      "echo",  // prints its arguments where the greeting should be
      dir.Script("banner", "echo 'Welcome to the machine'; cat >/dev/null"),
  };
  for (const std::string& command : rsh) {
    RemoteRegistry remote(command, "");
    KeyHandle root = kNoKey;
    EXPECT_EQ(remote.RegConnectRegistryA("\\\\HOST", kHkeyLocalMachine, &root), kErrorBadNetPath)
        << command;
    // The host stays unreachable for the run; no second transport is tried.
    EXPECT_EQ(remote.RegConnectRegistryA("HOST", kHkeyLocalMachine, &root), kErrorBadNetPath);
  }
}

TEST(RemoteConnect, OneTransportServesEveryConnectToAHost) {
  TempDir dir;
  setenv("DX_RSH_LOG", (dir / "hosts").c_str(), 1);
  std::unique_ptr<RemoteRegistry> remote = ConnectToStore(dir / "remote.db");
  KeyHandle roots[3];
  EXPECT_EQ(remote->RegConnectRegistryA("\\\\SERVER", kHkeyLocalMachine, &roots[0]), 0);
  EXPECT_EQ(remote->RegConnectRegistryA("\\SERVER", kHkeyLocalMachine, &roots[1]), 0);
  EXPECT_EQ(remote->RegConnectRegistryA("SERVER", kHkeyUsers, &roots[2]), 0);
  EXPECT_EQ(remote->stats().roundTrips, 1u);  // the greeting only
  EXPECT_EQ(remote->RegConnectRegistryA("SERVER", kHkeyCurrentUser, &roots[2]),
            kErrorInvalidHandle);

  // Closing one remote root leaves the others and the keys opened under it usable.
  KeyHandle key = kNoKey;
  ASSERT_EQ(remote->RegCreateKeyA(roots[0], "SOFTWARE\\Kept", &key), 0);
  EXPECT_EQ(remote->RegCloseKey(roots[0]), 0);
  EXPECT_EQ(remote->RegCloseKey(roots[0]), kErrorInvalidHandle);
  EXPECT_EQ(SetText(*remote, key, "v", "x"), 0);
  KeyHandle other = kNoKey;
  EXPECT_EQ(remote->RegOpenKeyA(roots[1], "SOFTWARE\\Kept", &other), 0);
  EXPECT_EQ(remote->RegCloseKey(other), 0);
  EXPECT_EQ(remote->RegCloseKey(key), 0);
  remote.reset();
  EXPECT_EQ(ReadAll(dir / "hosts"), "SERVER\n");
  unsetenv("DX_RSH_LOG");
}

TEST(RemoteCalls, ValueLineCostsTwoRoundTripsAndLandsInTheAgentsStore) {
  TempDir dir;
  std::unique_ptr<RemoteRegistry> remote = ConnectToStore(dir / "remote.db");
  constexpr int kLines = 50;
  uint64_t before = 0;
  for (int line = 0; line < kLines; ++line) {
    if (line == 1) before = remote->stats().roundTrips;
    // What one UPDATE value line does: connect, create, query the old value, set, close both.
    KeyHandle root = kNoKey;
    KeyHandle key = kNoKey;
    ASSERT_EQ(remote->RegConnectRegistryA("\\\\SERVER", kHkeyLocalMachine, &root), 0);
    ASSERT_EQ(remote->RegCreateKeyA(root, "SOFTWARE\\Lines", &key), 0);
    uint8_t old[255];
    uint32_t size = sizeof old;
    uint32_t type = 0;
    std::string name = "v" + std::to_string(line % 7);
    remote->RegQueryValueExA(key, name, &type, old, &size);
    ASSERT_EQ(SetText(*remote, key, name, "line " + std::to_string(line)), 0);
    ASSERT_EQ(remote->RegCloseKey(root), 0);
    ASSERT_EQ(remote->RegCloseKey(key), 0);
  }
  EXPECT_EQ(remote->stats().roundTrips - before, 2u * (kLines - 1));

  // A no-action line opens and queries: one round trip.
  before = remote->stats().roundTrips;
  KeyHandle root = kNoKey;
  KeyHandle key = kNoKey;
  ASSERT_EQ(remote->RegConnectRegistryA("\\\\SERVER", kHkeyLocalMachine, &root), 0);
  remote->RegOpenKeyExA(root, "SOFTWARE\\Lines", 0, kKeyAllAccess, &key);
  char text[32] = {};
  uint32_t size = sizeof text - 1;
  EXPECT_EQ(remote->RegQueryValueExA(key, "V6", nullptr, reinterpret_cast<uint8_t*>(text), &size),
            0);
  EXPECT_STREQ(text, "line 48");
  remote->RegCloseKey(key);
  remote->RegCloseKey(root);
  EXPECT_EQ(remote->stats().roundTrips - before, 1u);
  remote.reset();

  std::unique_ptr<RegistryService> store = OpenSqliteRegistry(dir / "remote.db");
  ASSERT_EQ(store->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE\\Lines", &key), 0);
  size = sizeof text - 1;
  EXPECT_EQ(store->RegQueryValueExA(key, "v0", nullptr, reinterpret_cast<uint8_t*>(text), &size),
            0);
  EXPECT_EQ(std::string(text, size), "line 49");
}

TEST(RemoteCalls, ValuesAnOpenBroughtAnswerLikeTheAgent) {
  TempDir dir;
  std::unique_ptr<RemoteRegistry> remote = ConnectToStore(dir / "remote.db");
  KeyHandle root = kNoKey;
  KeyHandle writer = kNoKey;
  ASSERT_EQ(remote->RegConnectRegistryA("S", kHkeyLocalMachine, &root), 0);
  ASSERT_EQ(remote->RegCreateKeyA(root, "SOFTWARE\\Q", &writer), 0);
  ASSERT_EQ(SetText(*remote, writer, "Name", "twelve bytes"), 0);
  ASSERT_EQ(SetText(*remote, writer, "", ""), 0);
  KeyHandle cached = kNoKey;
  KeyHandle asked = kNoKey;
  ASSERT_EQ(remote->RegOpenKeyExA(root, "SOFTWARE\\Q", 0, kKeyAllAccess, &cached), 0);
  ASSERT_EQ(remote->RegOpenKeyExA(root, "SOFTWARE\\Q", 0, kKeyRead, &asked), 0);

  // Each query, as (code, type, size, data), from the brought values and from the agent.
  auto query = [&](KeyHandle key, std::string_view name, bool withType, uint32_t capacity,
                   bool withData, bool withSize) {
    uint32_t type = 77;
    uint32_t size = capacity;
    std::string data(capacity + 1, '#');
    RegStatus status = remote->RegQueryValueExA(
        key, name, withType ? &type : nullptr,
        withData ? reinterpret_cast<uint8_t*>(data.data()) : nullptr, withSize ? &size : nullptr);
    return std::to_string(status) + "/" + std::to_string(type) + "/" + std::to_string(size) +
           "/" + data;
  };
  uint64_t tripsBefore = remote->stats().roundTrips;
  uint64_t localBefore = remote->stats().localAnswers;
  const std::string_view names[] = {"Name", "NAME", "", "missing", std::string_view("a\0b", 3)};
  for (std::string_view name : names) {
    for (uint32_t capacity : {0u, 4u, 12u, 40u}) {
      for (int mask = 0; mask < 8; ++mask) {
        bool t = mask & 1, d = mask & 2, s = mask & 4;
        EXPECT_EQ(query(cached, name, t, capacity, d, s), query(asked, name, t, capacity, d, s))
            << name << " capacity " << capacity << " mask " << mask;
      }
    }
  }
  // Data without a size is refused before anything is asked; every other query goes once to
  // the agent and once to the brought values.
  EXPECT_EQ(remote->stats().localAnswers - localBefore, 5u * 4 * 6);
  EXPECT_EQ(remote->stats().roundTrips - tripsBefore, 5u * 4 * 6);

  // A change through another handle is seen by the handle that had the values.
  ASSERT_EQ(SetText(*remote, writer, "Name", "new"), 0);
  EXPECT_EQ(query(cached, "name", true, 3, true, true), "0/1/3/new#");
  ASSERT_EQ(remote->RegDeleteValueA(writer, "Name"), 0);
  EXPECT_EQ(query(cached, "name", false, 3, true, true), "2/77/3/####");
  for (KeyHandle h : {cached, asked, writer, root}) EXPECT_EQ(remote->RegCloseKey(h), 0);
}

TEST(RemoteCalls, ClosesTravelWithLaterCalls) {
  TempDir dir;
  std::unique_ptr<RemoteRegistry> remote = ConnectToStore(dir / "remote.db");
  KeyHandle root = kNoKey;
  ASSERT_EQ(remote->RegConnectRegistryA("S", kHkeyLocalMachine, &root), 0);
  std::vector<KeyHandle> keys(1500);
  for (size_t i = 0; i < keys.size(); ++i) {
    ASSERT_EQ(remote->RegCreateKeyA(root, "SOFTWARE\\K" + std::to_string(i % 3), &keys[i]), 0);
  }
  uint64_t before = remote->stats().roundTrips;
  for (KeyHandle key : keys) ASSERT_EQ(remote->RegCloseKey(key), 0);
  // Past a bound the waiting closes go out on their own, so the agent's answers to them never
  // pile up; every answer is read in order and the next call gets its own.
  EXPECT_EQ(remote->stats().roundTrips - before, 2u);
  EXPECT_EQ(SetText(*remote, keys[0], "v", "x"), kErrorInvalidHandle);
  KeyHandle again = kNoKey;
  EXPECT_EQ(remote->RegOpenKeyA(root, "SOFTWARE\\K1", &again), 0);
  EXPECT_EQ(SetText(*remote, again, "v", "x"), 0);
  EXPECT_EQ(remote->stats().roundTrips - before, 4u);
}

TEST(RemoteCalls, LostTransportAnswers1722FromThenOn) {
  TempDir dir;
  std::string agent =
      dir.Script("agent", "echo $$ > '" + (dir / "pid") + "'\nexec '" + AgentBinary() + "'");
  std::unique_ptr<RemoteRegistry> remote = ConnectToStore(dir / "remote.db", agent);
  KeyHandle root = kNoKey;
  KeyHandle key = kNoKey;
  ASSERT_EQ(remote->RegConnectRegistryA("\\\\SERVER", kHkeyLocalMachine, &root), 0);
  ASSERT_EQ(remote->RegCreateKeyA(root, "SOFTWARE\\Lost", &key), 0);
  pid_t pid = std::atoi(ReadAll(dir / "pid").c_str());
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);

  EXPECT_EQ(SetText(*remote, key, "v", "x"), kErrorRpcUnavailable);
  uint32_t size = 0;
  EXPECT_EQ(remote->RegQueryValueExA(key, "v", nullptr, nullptr, &size), kErrorRpcUnavailable);
  KeyHandle again = kNoKey;
  EXPECT_EQ(remote->RegCreateKeyA(root, "SOFTWARE\\Lost", &again), kErrorRpcUnavailable);
  EXPECT_EQ(remote->RegConnectRegistryA("SERVER", kHkeyLocalMachine, &again),
            kErrorRpcUnavailable);
  EXPECT_EQ(remote->RegCloseKey(key), kErrorRpcUnavailable);
  EXPECT_EQ(remote->RegCloseKey(root), kErrorRpcUnavailable);
}

TEST(RemoteCalls, BrokenAnswersEndTheConnection) {
  TempDir dir;
  struct {
    const char* what;
    std::string answer;  // printf format of what the fake agent sends after its greeting
  } cases[] = {
      {"oversized frame", "\\377\\377\\377\\377"},
      {"truncated frame", "\\010\\000\\000\\000\\000\\000"},
      {"frame of another call", "\\014\\000\\000\\000\\000\\000\\000\\000\\001\\000\\000\\000"},
  };
  for (const auto& c : cases) {
    std::string agent = dir.Script(
        "fake", "head -c 12 >/dev/null\nprintf 'DXREG-A\\n\\001\\000\\000\\000'\nprintf '" +
                    c.answer + "'");
    std::unique_ptr<RemoteRegistry> remote = ConnectToStore(dir / "remote.db", agent);
    KeyHandle root = kNoKey;
    KeyHandle key = kNoKey;
    ASSERT_EQ(remote->RegConnectRegistryA("H", kHkeyLocalMachine, &root), 0) << c.what;
    EXPECT_EQ(remote->RegCreateKeyA(root, "SOFTWARE", &key), kErrorRpcUnavailable) << c.what;
    EXPECT_EQ(key, kNoKey);
  }
}

TEST(MachineRegistry, RoutesByHandle) {
  TempDir dir;
  std::unique_ptr<RegistryService> machine = OpenMachineRegistry(
      OpenSqliteRegistry(dir / "local.db"), ConnectToStore(dir / "remote.db"));
  KeyHandle root = kNoKey;
  KeyHandle remoteKey = kNoKey;
  KeyHandle localKey = kNoKey;
  ASSERT_EQ(machine->RegConnectRegistryA("\\\\FAR", kHkeyLocalMachine, &root), 0);
  ASSERT_EQ(machine->RegCreateKeyA(root, "SOFTWARE\\Where", &remoteKey), 0);
  ASSERT_EQ(machine->RegCreateKeyA(kHkeyLocalMachine, "SOFTWARE\\Where", &localKey), 0);
  EXPECT_NE(remoteKey, localKey);
  ASSERT_EQ(SetText(*machine, remoteKey, "at", "remote"), 0);
  ASSERT_EQ(SetText(*machine, localKey, "at", "local"), 0);
  for (KeyHandle h : {remoteKey, localKey, root}) EXPECT_EQ(machine->RegCloseKey(h), 0);
  EXPECT_EQ(machine->RegCloseKey(remoteKey), kErrorInvalidHandle);
  machine.reset();

  for (const char* name : {"local.db", "remote.db"}) {
    std::unique_ptr<RegistryService> store = OpenSqliteRegistry(dir / name);
    KeyHandle key = kNoKey;
    ASSERT_EQ(store->RegOpenKeyA(kHkeyLocalMachine, "SOFTWARE\\Where", &key), 0);
    char text[16] = {};
    uint32_t size = sizeof text - 1;
    ASSERT_EQ(store->RegQueryValueExA(key, "at", nullptr, reinterpret_cast<uint8_t*>(text), &size),
              0);
    EXPECT_EQ(std::string(name).substr(0, 5), std::string(text).substr(0, 5));
  }
}

}  // namespace
