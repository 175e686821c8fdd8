// /MACHINE: from the outside: runs of the built tool against a second store served by the real
// agent through the local test transport (tests/remote_rsh.sh), compared with local runs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/blackbox.h"

namespace {

std::string AgentBinary() {
  std::string tool = DorvalexBinary();
  return tool.substr(0, tool.rfind('/') + 1) + "dorvalex-agent";
}

// The environment that makes `far`'s store the registry of every remote machine.
EnvChanges Remote(const BlackBox& far) {
  return {{"DORVALEX_RSH", std::string(DX_SOURCE_DIR) + "/tests/remote_rsh.sh"},
          {"DORVALEX_AGENT", AgentBinary()},
          {"DX_REMOTE_STORE", far.storePath()}};
}

const char kScript[] =
    "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\Far]\nUPDATE:\"Name\"=\"value\"\n"
    "UPDATE:[HKLM\\SOFTWARE\\Far\\Sub]\nUPDATE:\"List\"=Multi:\"a\",\"b\"\nAPPEND:\"List\"=\"c\"\n"
    "DELETE:[HKLM\\SOFTWARE\\Old]\n";

void SeedOld(const BlackBox& box) {
  box.SetString("HKLM\\SOFTWARE\\Old", "Kept", "in the backout");
  box.SetDword("HKLM\\SOFTWARE\\Old\\Deeper", "N", 9);
  box.SetString("HKLM\\SOFTWARE\\Far", "Name", "before");
}

TEST(RemoteTest, RemoteRunMatchesALocalRunAndItsBackoutUndoesIt) {
  BlackBox local, tool, far;
  SeedOld(local);
  SeedOld(far);
  const std::string start = far.DumpStore(), toolStart = tool.DumpStore();
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

  // /NOACTION changes nothing remote and writes the same backout as a real run.
  RunResult dry = tool.Run({"/REG:in.txt", "/BACKUP:dry.txt", "/NOACTION", "/MACHINE:S"},
                           Remote(far));
  EXPECT_EQ(dry.exitCode, 0) << dry.output;
  EXPECT_EQ(far.DumpStore(), start);
  EXPECT_EQ(tool.ReadFile("dry.txt"), tool.ReadFile("undo.txt"));
}

TEST(RemoteTest, RemoteRootRules) {
  BlackBox tool, far;
  // HKCU is refused before anything is connected.
  tool.WriteFile("cu.txt", "DORVALEX\nUPDATE:[HKCU\\Software\\X]\nUPDATE:\"v\"=\"1\"\n");
  RunResult run = tool.Run({"/REG:cu.txt", "/MACHINE:S"}, Remote(far));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("***ERROR : HKEY_CURRENT_USER cannot be opened on a remote machine\n"),
            std::string::npos) << run.output;
  // HKCR is SOFTWARE\Classes under the remote HKLM.
  tool.WriteFile("cr.txt", "DORVALEX\nUPDATE:[HKCR\\.far]\nUPDATE:@=\"farfile\"\n");
  run = tool.Run({"/REG:cr.txt", "/MACHINE:S"}, Remote(far));
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(far.DumpStore().find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.far]\n"
                                 "  \"\"=1:\"farfile"),
            std::string::npos) << far.DumpStore();
  // However many backslashes lead the name, one transport reaches the bare host.
  tool.WriteFile("in.txt", kScript);
  for (const char* machine : {"/MACHINE:SERVER", "/machine:\\SERVER", "/Machine:\\\\SERVER"}) {
    std::remove(tool.PathOf("hosts").c_str());
    EnvChanges env = Remote(far);
    env["DX_RSH_LOG"] = tool.PathOf("hosts");
    run = tool.Run({"/REG:in.txt", machine}, env);
    EXPECT_EQ(run.exitCode, 0) << machine << run.output;
    EXPECT_EQ(tool.ReadFile("hosts"), "SERVER\n") << machine;
  }
}

TEST(RemoteTest, UnreachableMachinesFailWithNetworkPathNotFound) {
  BlackBox tool, far;
  tool.WriteFile("in.txt", kScript);
  // A name ssh would take for an option (tried with the real ssh: nothing may run), and a
  // transport that does not exist.
  std::pair<std::string, EnvChanges> cases[] = {
      {"/MACHINE:\\\\-oProxyCommand=touch MARK", {{"DORVALEX_RSH", std::nullopt}}},
      {"/MACHINE:S", {{"DORVALEX_RSH", tool.PathOf("no-such-transport")}}},
  };
  for (const auto& [machine, env] : cases) {
    RunResult run = tool.Run({"/REG:in.txt", "/BACKUP:undo.txt", "/OVERWRITE", machine}, env);
    EXPECT_EQ(run.exitCode, 1) << machine;
    EXPECT_NE(run.output.find("***ERROR : Could not connect to remote registry\n"
                              "         : (53)The network path was not found.\n"),
              std::string::npos) << machine << "\n" << run.output;
    EXPECT_FALSE(tool.FileExists("MARK"));
  }
}

TEST(RemoteTest, LostTransportStopsTheRunAndKeepsTheBackout) {
  BlackBox tool, far;
  // An agent whose input is cut after a few hundred bytes, in the middle of the run.
  tool.WriteFile("agent", "#!/bin/sh\nexec 3<&0\n(dd bs=1 count=600 status=none <&3 | '" +
                             AgentBinary() + "') &\nexec 0<&- 1>&- 3<&-\nwait\n");
  chmod(tool.PathOf("agent").c_str(), 0755);
  std::string script = "DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\Lost]\n";
  for (int i = 0; i < 100; ++i) script += "UPDATE:\"v" + std::to_string(i) + "\"=\"x\"\n";
  tool.WriteFile("in.txt", script);
  EnvChanges env = Remote(far);
  env["DORVALEX_AGENT"] = tool.PathOf("agent");
  RunResult run = tool.Run({"/REG:in.txt", "/BACKUP:undo.txt", "/MACHINE:S"}, env);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("         : (1722)The RPC server is unavailable.\n"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("Fatal Error - Program Exit"), std::string::npos) << run.output;
  // What was written before the loss stays, in application order.
  EXPECT_NE(tool.ReadFile("undo.txt").value_or("").find("DELETE:[HKLM\\SOFTWARE\\Lost]"),
            std::string::npos);
}

}  // namespace
