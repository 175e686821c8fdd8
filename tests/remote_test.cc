// /MACHINE: from the outside: runs of the built tool against a second store served by the real
// agent through the local test transport (tests/remote_rsh.sh), compared with local runs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "registry/remote/remote_registry.h"
#include "tests/blackbox.h"

namespace {

// A program of the build folder, by its path there.
std::string Built(const std::string& name) {
  const std::string tool = DorvalexBinary();
  return tool.substr(0, tool.rfind('/') + 1) + name;
}

// The environment that makes `far`'s store the registry of every remote machine; each host a
// transport reaches is logged in `tool`'s file "hosts".
EnvChanges Remote(const BlackBox& far, const BlackBox& tool) {
  return {{"DORVALEX_RSH", std::string(DX_SOURCE_DIR) + "/tests/remote_rsh.sh"},
          {"DORVALEX_AGENT", Built("dorvalex-agent")},
          {"DX_REMOTE_STORE", far.storePath()},
          {"DX_RSH_LOG", tool.PathOf("hosts")}};
}

const char kScript[] =
    "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\Far]\nUPDATE:\"Name\"=\"value\"\n"
    "UPDATE:[HKLM\\SOFTWARE\\Far\\Sub]\nUPDATE:\"List\"=Multi:\"a\",\"b\"\nAPPEND:\"List\"=\"c\"\n"
    "DELETE:[HKLM\\SOFTWARE\\Old]\nUPDATE:[HKCR\\.far]\nUPDATE:@=\"farfile\"\n";

void SeedOld(const BlackBox& box) {
  box.SetString("HKLM\\SOFTWARE\\Old", "Kept", "in the backout");
  box.SetDword("HKLM\\SOFTWARE\\Old\\Deeper", "N", 9);
  box.SetString("HKLM\\SOFTWARE\\Far", "Name", "before");
}

// Also: however many backslashes lead the machine name, one transport reaches the bare host.
TEST(RemoteTest, RemoteRunMatchesALocalRunAndItsBackoutUndoesIt) {
  BlackBox local, tool, far;
  SeedOld(local);
  SeedOld(far);
  const std::string start = far.DumpStore(), toolStart = tool.DumpStore();
  local.WriteFile("in.txt", kScript);
  tool.WriteFile("in.txt", kScript);
  RunResult here = local.Run({"/REG:in.txt", "/BACKUP:undo.txt", "/VERBOSE"});
  RunResult there = tool.Run({"/REG:in.txt", "/BACKUP:undo.txt", "/VERBOSE",
                              "/MACHINE:\\\\SERVER"}, Remote(far, tool));
  ASSERT_EQ(there.exitCode, 0) << there.output;
  EXPECT_EQ(there.output, here.output);
  EXPECT_EQ(far.DumpStore(), local.DumpStore());
  EXPECT_EQ(tool.DumpStore(), toolStart) << "the local store was touched";
  EXPECT_EQ(tool.ReadFile("undo.txt"), local.ReadFile("undo.txt"));
  EXPECT_NE(tool.ReadFile("undo.txt").value_or("").find("in the backout"), std::string::npos);

  RunResult undo = tool.Run({"/REG:undo.txt", "/machine:SERVER"}, Remote(far, tool));
  EXPECT_EQ(undo.exitCode, 0) << undo.output;
  EXPECT_EQ(far.DumpStore(), start);

  // /NOACTION changes nothing remote and writes the same backout as a real run.
  RunResult dry = tool.Run({"/REG:in.txt", "/BACKUP:dry.txt", "/NOACTION", "/Machine:\\SERVER"},
                           Remote(far, tool));
  EXPECT_EQ(dry.exitCode, 0) << dry.output;
  EXPECT_EQ(far.DumpStore(), start);
  EXPECT_EQ(tool.ReadFile("dry.txt"), tool.ReadFile("undo.txt"));
  EXPECT_EQ(tool.ReadFile("hosts"), "SERVER\nSERVER\nSERVER\n");
}

// Hosts refused before any transport starts are tried in the backend's unit tests.
TEST(RemoteTest, UnreachableMachineFailsWithNetworkPathNotFound) {
  BlackBox tool;
  tool.WriteFile("in.txt", kScript);
  RunResult run = tool.Run({"/REG:in.txt", "/BACKUP:undo.txt", "/MACHINE:S"},
                           {{"DORVALEX_RSH", tool.PathOf("no-such-transport")}});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("***ERROR : Could not connect to remote registry\n"
                            "         : (53)The network path was not found.\n"),
            std::string::npos) << run.output;
}

// A run on another machine holds that machine's store as a local run does: while another run
// keeps it, the remote run waits, then stops before changing anything.
TEST(RemoteTest, RemoteRunWaitsForTheStoresRunLock) {
  BlackBox tool, far;
  far.SetString("HKLM\\SOFTWARE\\Far", "Name", "before");
  const std::string start = far.DumpStore();
  tool.WriteFile("in.txt", kScript);
  std::unique_ptr<RegistryService> holder = far.OpenStore();
  ASSERT_EQ(holder->BeginChanges(), 0);
  EnvChanges env = Remote(far, tool);
  env["DORVALEX_STORE_WAIT"] = "1";
  RunResult run = tool.Run({"/REG:in.txt", "/BACKUP:undo.txt", "/MACHINE:S"}, env);
  holder.reset();  // lets the store go
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_NE(run.output.find("(170)"), std::string::npos) << run.output;
  EXPECT_EQ(far.DumpStore(), start);
}

// An agent that lies about sizes, stops answering or is cut off in the middle of the run is a
// lost connection (its sizes are never taken on trust), and the run stops cleanly.
TEST(RemoteTest, AgentThatLiesHangsOrIsCutOffIsALostConnection) {
  std::string many = "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\Lost]\n";
  for (int i = 0; i < 100; ++i) many += "UPDATE:\"v" + std::to_string(i) + "\"=\"x\"\n";
  const std::pair<std::string, std::string> cases[] = {
      {"size", "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\A]\nUPDATE:\"v\"=\"x\"\n"},
      {"info", "DORVALEX\nDELETE:[HKLM\\SOFTWARE\\A]\n"},
      {"name", "DORVALEX\nDELETE:[HKLM\\SOFTWARE\\A]\n"},
      // An agent that stops answering is lost once DORVALEX_REMOTE_TIMEOUT has passed.
      {"silent", "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\A]\nUPDATE:\"v\"=\"x\"\n"},
      // The real agent, its input cut after a few hundred bytes.
      {"cut", many},
  };
  for (const auto& [lie, script] : cases) {
    SCOPED_TRACE(lie);
    BlackBox tool, far;
    tool.WriteFile("in.txt", script);
    tool.WriteFile("agent", "#!/bin/sh\nexec 3<&0\n(dd bs=1 count=600 status=none <&3 | '" +
                               Built("dorvalex-agent") + "') &\nexec 0<&- 1>&- 3<&-\nwait\n");
    chmod(tool.PathOf("agent").c_str(), 0755);
    EnvChanges env = Remote(far, tool);
    env["DORVALEX_AGENT"] = lie == "cut" ? tool.PathOf("agent") : Built("tests/lying_agent");
    env["DX_LIE"] = lie;
    env["DORVALEX_REMOTE_TIMEOUT"] = lie == "cut" ? "60" : "1";
    RunResult run = tool.Run({"/REG:in.txt", "/BACKUP:undo.txt", "/MACHINE:S"}, env, 30);
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find("         : (1722)The RPC server is unavailable.\n"),
              std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Fatal Error - Program Exit"), std::string::npos) << run.output;
    // What was written before the loss stays.
    EXPECT_NE(tool.ReadFile("undo.txt").value_or("").find(lie == "cut" ? "DELETE:[" : "DORVALEX"),
              std::string::npos);
  }
}

// The agent's memory stays bounded however many keys a client keeps open and lists: neither a
// key with one large value nor many keys with full listing windows make it grow per handle.
TEST(RemoteTest, AgentMemoryDoesNotGrowWithOpenKeys) {
  BlackBox tool, far;
  far.SetValue("HKLM\\SOFTWARE\\Big", "big", 3, std::string(8 << 20, 'b'));
  for (const char* name : {"a", "b", "c"})  // a listing window takes two of them
    far.SetValue("HKLM\\SOFTWARE\\Full", name, 3, std::string(255 << 10, 'f'));
  // The sanitizers' quarantine of freed memory would count as the agent's own.
  const char* asan = std::getenv("ASAN_OPTIONS");
  RemoteRegistry client("env ASAN_OPTIONS=" + std::string(asan ? asan : "") +
                            ":quarantine_size_mb=1 DX_REMOTE_STORE=" + far.storePath() +
                            " DX_AGENT_PIDS=" + tool.PathOf("pids") + " " DX_SOURCE_DIR
                            "/tests/remote_rsh.sh",
                        Built("dorvalex-agent"));
  KeyHandle root = kNoKey, key = kNoKey;
  ASSERT_EQ(client.RegConnectRegistryA("S", kHkeyLocalMachine, &root), 0);
  char name[300];
  uint32_t max[3];
  for (int i = 0; i < 1000; ++i) {
    // An open for writing makes the agent read the key's first listing window (its values,
    // which the key's size then refuses); then key information, and a listing with too small
    // a name buffer for the large value.
    const bool big = i % 50 == 0;
    ASSERT_EQ(client.RegOpenKeyExA(root, big ? "SOFTWARE\\Big" : "SOFTWARE\\Full", 0,
                                   kKeyAllAccess, &key), 0);
    ASSERT_EQ(client.RegQueryInfoKeyA(key, &max[0], &max[1], &max[2]), 0);
    uint32_t size = big ? 1 : sizeof name;
    client.RegEnumValueA(key, 0, name, &size, nullptr, nullptr, nullptr);
  }
  std::string pid = tool.ReadFile("pids").value_or("");
  std::ifstream file("/proc/" + pid.substr(0, pid.find('\n')) + "/status");
  const std::string status{std::istreambuf_iterator<char>(file), {}};
  ASSERT_NE(status.find("VmHWM:"), std::string::npos);
  // Without the bounds: 20 copies of the large value and 980 listing windows, 650 MiB.
  EXPECT_LT(std::atol(status.c_str() + status.find("VmHWM:") + 6), 192 << 10) << status;
}

}  // namespace
