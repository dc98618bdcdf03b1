// The plug-in driven by our host in a process of its own, as the mail client does.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

using n2test::PluginSandbox;
using n2test::RunHost;

std::string HostArgs(const PluginSandbox& sandbox, const std::string& version, const std::string& commands) {
  // The host adds the data folder's final backslash; a backslash before a quote would escape it.
  std::string data = sandbox.DataFolder();
  data.pop_back();
  return "--version " + version + " --data \"" + data + "\" --plugin \"" + sandbox.ModulePath() + "\" " + commands;
}

bool Loaded(const n2test::ProcessResult& run) { return run.output.rfind("loaded ", 0) == 0; }

TEST(HostBinding, VersionRuleDecidesWhetherSetStatusIsNeeded) {
  PluginSandbox sandbox;
  struct Case {
    const char* host;
    const char* version;
    bool binds;
  } cases[] = {
      {"n2host_nostatus.exe", "2.00.05", true},   {"n2host_nostatus.exe", "2.00", true},
      {"n2host_nostatus.exe", "2.00.06", false},  {"n2host_nostatus.exe", "2.10.00", false},
      {"n2host_nostatus.exe", "1.00.000", false},  // eight characters always need it
      {"n2host_nostatus.exe", "2.00.0a", false},   // letters fold to upper case, above digits
      {"n2host.exe", "2.00.06", true},            {"n2host.exe", "1.00.000", true},
      {"n2host.exe", "2.00.05", true},
  };
  for (const Case& c : cases) {
    auto run = RunHost(c.host, HostArgs(sandbox, c.version, "start"));
    EXPECT_EQ(Loaded(run), c.binds) << c.host << " " << c.version << "\n" << run.output;
    EXPECT_EQ(run.exit_code, c.binds ? 0u : 3u) << c.host << " " << c.version;
  }
}

TEST(HostBinding, HostWithoutConnectIsRefusedSilently) {
  PluginSandbox sandbox;
  auto run = RunHost("n2host_noconnect.exe", HostArgs(sandbox, "2.00.06", "start"));
  EXPECT_EQ(run.exit_code, 3u) << run.output;
  EXPECT_NE(run.output.find("refused"), std::string::npos);
  // A refused load shows nothing: the host would hang on a message box and time out.
  EXPECT_FALSE(run.timed_out);
}

TEST(HostCallbacks, ReturnValuesMenuItemAndInformation) {
  PluginSandbox sandbox;
  auto run = RunHost("n2host.exe",
                     HostArgs(sandbox, "2.00.06", "start menuinit:1 menuinit:0 info others setup pick exit unload"));
  ASSERT_EQ(run.exit_code, 0u) << run.output;
  const std::string expected =
      "NVC_OnStart=0\n"
      "NVC_OnMenuInit(1)=0\n"  // menu kind 1: nothing added
      "NVC_OnMenuInit(0)=0\n"
      "menu item 0: id=40001 text=Norvel2! Velmora\n"
      "NVC_OnPlugInInfo=0\n"
      "name=Norvel2! Velmora\n"
      "vendor=Orvasso, Inc.\n"
      "version=2.10\n"
      "description=hex:82b182cc83768389834f8343839382cd83418368838c835892a082f04654508141485454508354815b836f8fe382c995"
      "db91b682b58ba4974c82b582dc82b78142\n"
      "NVC_OnOpenFolder=0\nNVC_OnOpenMail=0\nNVC_OnEveryMinute=0\nNVC_OnOpenCompose=0\nNVC_OnOutgoing=0\n"
      "NVC_OnKeyDispatch=0\nNVC_OnRetrieve=0\nNVC_OnSend=0\nNVC_OnFinishRetrieve=0\nNVC_OnDragDrop=0\n"
      "NVC_OnPlugInSetup=1\n"
      "picked id=40001\n"
      "NVC_OnExit=0\n"
      "unloaded\n";
  std::string output = run.output;
  for (size_t at; (at = output.find('\r')) != std::string::npos;) output.erase(at, 1);
  EXPECT_EQ(output.substr(output.find('\n') + 1), expected);
}

TEST(HostCallbacks, MenuItemAndSetupShowTheDialogAndExitHidesIt) {
  PluginSandbox sandbox;
  auto run = RunHost("n2host.exe", HostArgs(sandbox, "2.00.06",
                                             "start windows setup windows exit windows menuinit:0 pick windows "
                                             "start windows"));
  ASSERT_EQ(run.exit_code, 0u) << run.output;
  std::string output = run.output;
  for (size_t at; (at = output.find('\r')) != std::string::npos;) output.erase(at, 1);
  const std::string hidden = "window: Norvel2! plug-in Velmora Ver2.10 visible=0\n";
  const std::string shown = "window: Norvel2! plug-in Velmora Ver2.10 visible=1\n";
  EXPECT_NE(output.find("NVC_OnStart=0\n" + hidden + "NVC_OnPlugInSetup=1\n" + shown + "NVC_OnExit=0\n" + hidden),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("picked id=40001\n" + shown + "NVC_OnStart=0\n" + shown), std::string::npos) << output;
}

TEST(HostCallbacks, CallbacksBeforeStartReturnCleanly) {
  PluginSandbox sandbox;
  auto run = RunHost("n2host.exe", HostArgs(sandbox, "2.00.06", "setup exit others unload"));
  EXPECT_EQ(run.exit_code, 0u) << run.output;
  EXPECT_NE(run.output.find("NVC_OnPlugInSetup=1"), std::string::npos);
  EXPECT_NE(run.output.find("unloaded"), std::string::npos);
}

}  // namespace
