// /MACHINE: from the outside: runs of the built tool against a second store served by the real
// agent through the local test transport (tests/remote_rsh.sh), compared with local runs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "tests/blackbox.h"

#ifndef DX_SOURCE_DIR
#define DX_SOURCE_DIR "."
#endif

namespace {

std::string AgentBinary() {
  std::string tool = DorvalexBinary();
  return tool.substr(0, tool.rfind('/') + 1) + "dorvalex-agent";
}

// The environment that makes `far`'s store the registry of every remote machine.
EnvChanges Remote(const BlackBox& far, const std::string& hostLog = "") {
  EnvChanges env = {{"DORVALEX_RSH", std::string(DX_SOURCE_DIR) + "/tests/remote_rsh.sh"},
                    {"DORVALEX_AGENT", AgentBinary()},
                    {"DX_REMOTE_STORE", far.storePath()}};
  if (!hostLog.empty()) env["DX_RSH_LOG"] = hostLog;
  return env;
}

const char kScript[] =
    "DORVALEX\n"
    "UPDATE:[HKLM\\SOFTWARE\\Far]\n"
    "UPDATE:\"Name\"=\"value\"\n"
    "UPDATE:\"Count\"=Dword:00000002\n"
    "UPDATE:[HKLM\\SOFTWARE\\Far\\Sub]\n"
    "UPDATE:\"List\"=Multi:\"a\",\"b\"\n"
    "APPEND:\"List\"=\"c\"\n"
    "DELETE:[HKLM\\SOFTWARE\\Old]\n";

void SeedOld(const BlackBox& box) {
  box.SetString("HKLM\\SOFTWARE\\Old", "Kept", "in the backout");
  box.SetDword("HKLM\\SOFTWARE\\Old\\Deeper", "N", 9);
  box.SetString("HKLM\\SOFTWARE\\Far", "Name", "before");
}

TEST(RemoteTest, RemoteRunMatchesALocalRunAndItsBackoutUndoesIt) {
  BlackBox local;
  BlackBox tool;
  BlackBox far;
  SeedOld(local);
  SeedOld(far);
  std::string start = far.DumpStore();
  std::string toolStart = tool.DumpStore();
  local.WriteFile("in.txt", kScript);
  tool.WriteFile("in.txt", kScript);

  RunResult here = local.Run({"/REG:in.txt", "/BACKUP:undo.txt", "/VERBOSE"});
  RunResult there =
      tool.Run({"/REG:in.txt", "/BACKUP:undo.txt", "/VERBOSE", "/MACHINE:\\\\SERVER"}, Remote(far));
  ASSERT_EQ(there.exitCode, 0) << there.output;
  EXPECT_EQ(there.output, here.output);
  EXPECT_EQ(far.DumpStore(), local.DumpStore());
  EXPECT_EQ(tool.DumpStore(), toolStart) << "the local store was touched";
  // The snapshot of the remote DELETE is in the backout file, as it is locally.
  EXPECT_EQ(tool.ReadFile("undo.txt"), local.ReadFile("undo.txt"));
  EXPECT_NE(tool.ReadFile("undo.txt").value_or("").find("in the backout"), std::string::npos);

  RunResult undo = tool.Run({"/REG:undo.txt", "/MACHINE:SERVER"}, Remote(far));
  EXPECT_EQ(undo.exitCode, 0) << undo.output;
  EXPECT_EQ(far.DumpStore(), start);
}

TEST(RemoteTest, NoActionChangesNothingRemoteAndWritesTheSameBackout) {
  BlackBox tool;
  BlackBox far;
  SeedOld(far);
  std::string start = far.DumpStore();
  tool.WriteFile("in.txt", kScript);
  RunResult dry = tool.Run({"/REG:in.txt", "/BACKUP:dry.txt", "/NOACTION", "/MACHINE:S"},
                           Remote(far));
  EXPECT_EQ(dry.exitCode, 0) << dry.output;
  EXPECT_EQ(far.DumpStore(), start);
  RunResult wet = tool.Run({"/REG:in.txt", "/BACKUP:wet.txt", "/MACHINE:S"}, Remote(far));
  EXPECT_EQ(wet.exitCode, 0) << wet.output;
  EXPECT_EQ(tool.ReadFile("dry.txt"), tool.ReadFile("wet.txt"));
}

TEST(RemoteTest, RemoteRootRules) {
  BlackBox tool;
  BlackBox far;
  {  // HKCU is refused before anything is connected.
    tool.WriteFile("cu.txt", "DORVALEX\nUPDATE:[HKCU\\Software\\X]\nUPDATE:\"v\"=\"1\"\n");
    RunResult run = tool.Run({"/REG:cu.txt", "/MACHINE:S"}, Remote(far));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("***ERROR : HKEY_CURRENT_USER cannot be opened on a remote machine\n"),
              std::string::npos)
        << run.output;
  }
  {  // HKCR is SOFTWARE\Classes under the remote HKLM.
    tool.WriteFile("cr.txt", "DORVALEX\nUPDATE:[HKCR\\.far]\nUPDATE:@=\"farfile\"\n");
    RunResult run = tool.Run({"/REG:cr.txt", "/MACHINE:S"}, Remote(far));
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(far.DumpStore().find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.far]\n@=1:\"farfile"),
              std::string::npos)
        << far.DumpStore();
  }
}

TEST(RemoteTest, MachineNamesReachTheirHost) {
  BlackBox tool;
  BlackBox far;
  tool.WriteFile("in.txt", kScript);
  for (const char* machine : {"/MACHINE:SERVER", "/machine:\\SERVER", "/Machine:\\\\SERVER"}) {
    std::string log = tool.PathOf("hosts");
    std::remove(log.c_str());
    RunResult run = tool.Run({"/REG:in.txt", machine}, Remote(far, log));
    EXPECT_EQ(run.exitCode, 0) << machine << run.output;
    // Many connects, one transport, the name without its backslashes.
    EXPECT_EQ(tool.ReadFile("hosts"), "SERVER\n") << machine;
  }
}

TEST(RemoteTest, UnreachableMachinesFailWithNetworkPathNotFound) {
  BlackBox tool;
  BlackBox far;
  tool.WriteFile("in.txt", kScript);
  const std::string kFailure =
      "***ERROR : Could not connect to remote registry\n"
      "         : (53)The network path was not found.\n";
  // An empty name, a name ssh would take for an option (tried with the real ssh: nothing may
  // run), and a transport that does not exist.
  struct {
    std::string machine;
    EnvChanges env;
  } cases[] = {
      {"/MACHINE:", Remote(far)},
      {"/MACHINE:\\\\", Remote(far)},
      {"/MACHINE:-oProxyCommand=touch MARK", {{"DORVALEX_RSH", std::nullopt}}},
      {"/MACHINE:\\\\-oProxyCommand=touch MARK", {{"DORVALEX_RSH", "ssh -v"}}},
      {"/MACHINE:S", {{"DORVALEX_RSH", tool.PathOf("no-such-transport")}}},
  };
  for (const auto& c : cases) {
    RunResult run = tool.Run({"/REG:in.txt", "/BACKUP:undo.txt", "/OVERWRITE", c.machine}, c.env);
    EXPECT_EQ(run.exitCode, 1) << c.machine;
    EXPECT_NE(run.output.find(kFailure), std::string::npos) << c.machine << "\n" << run.output;
    EXPECT_FALSE(tool.FileExists("MARK"));
  }
}

TEST(RemoteTest, LostTransportStopsTheRunAndKeepsTheBackout) {
  BlackBox tool;
  BlackBox far;
  // An agent whose input is cut after a few hundred bytes, in the middle of the run.
  std::string agent = tool.PathOf("short-lived-agent");
  std::ofstream(agent) << "#!/bin/sh\nexec 3<&0\n(dd bs=1 count=600 status=none <&3 | '"
                       << AgentBinary()
                       << "') &\nexec 0<&- 1>&- 3<&-\nwait\n";
  chmod(agent.c_str(), 0755);
  std::string script = "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\Lost]\n";
  for (int i = 0; i < 100; ++i) script += "UPDATE:\"v" + std::to_string(i) + "\"=\"x\"\n";
  tool.WriteFile("in.txt", script);
  EnvChanges env = Remote(far);
  env["DORVALEX_AGENT"] = agent;
  RunResult run = tool.Run({"/REG:in.txt", "/BACKUP:undo.txt", "/MACHINE:S"}, env);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("         : (1722)The RPC server is unavailable.\n"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("Fatal Error - Program Exit"), std::string::npos) << run.output;
  // What was written before the loss stays, in application order.
  std::string undo = tool.ReadFile("undo.txt").value_or("");
  EXPECT_NE(undo.find("DELETE:[HKLM\\SOFTWARE\\Lost]"), std::string::npos) << undo;
}

}  // namespace
