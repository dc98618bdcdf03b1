// The host API binding and the plug-in module loaded into this process, which
// exports the host API itself (in full, without NVA_SetStatus, or without NVA_Connect).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/host_api.h"
#include "plugin/norvel_api.h"
#include "tests/support/message_box_watcher.h"
#include "tests/support/test_support.h"

namespace {

using n2::TNorvelAPI;

HMODULE ThisExe() { return ::GetModuleHandleA(nullptr); }

[[maybe_unused]] bool AnyWindowOfOurs() {
  struct Search {
    static BOOL CALLBACK Proc(HWND window, LPARAM found) {
      DWORD process = 0;
      ::GetWindowThreadProcessId(window, &process);
      if (process == ::GetCurrentProcessId()) *reinterpret_cast<bool*>(found) = true;
      return TRUE;
    }
  };
  bool found = false;
  ::EnumWindows(&Search::Proc, reinterpret_cast<LPARAM>(&found));
  for (HWND w = ::FindWindowExA(HWND_MESSAGE, nullptr, nullptr, nullptr); w;
       w = ::FindWindowExA(HWND_MESSAGE, w, nullptr, nullptr))
    Search::Proc(w, reinterpret_cast<LPARAM>(&found));
  return found;
}

TEST(NorvelApi, VersionRuleExamples) {
  EXPECT_FALSE(n2::HostVersionNeedsSetStatus("2.00.05"));
  EXPECT_FALSE(n2::HostVersionNeedsSetStatus("2.00"));
  EXPECT_FALSE(n2::HostVersionNeedsSetStatus("1.9"));
  EXPECT_TRUE(n2::HostVersionNeedsSetStatus("2.00.06"));
  EXPECT_TRUE(n2::HostVersionNeedsSetStatus("2.10.00"));
  EXPECT_TRUE(n2::HostVersionNeedsSetStatus("0.00.000"));
  EXPECT_TRUE(n2::HostVersionNeedsSetStatus("2.00.0a"));
  EXPECT_FALSE(n2::HostVersionNeedsSetStatus(""));
}

#if defined(N2HOST_WITHOUT_CONNECT)

TEST(NorvelApi, HostWithoutConnectDoesNotBind) {
  n2host::SetVersionText("2.00.06");
  TNorvelAPI api;
  EXPECT_FALSE(api.BindFunctions());
  EXPECT_EQ(api.ModuleHandle, nullptr);
  // Entries found before the missing name keep their values.
  EXPECT_EQ(api.GetVersion, ::GetProcAddress(ThisExe(), "NVA_GetVersion"));
  EXPECT_EQ(api.SerializeRcpts, ::GetProcAddress(ThisExe(), "NVA_SerializeRcpts"));
  EXPECT_EQ(api.Connect, nullptr);
}

TEST(PluginModule, RefusedLoadIsSilent) {
  n2test::MessageBoxWatcher boxes("");
  n2test::PluginSandbox sandbox;
  ASSERT_FALSE(AnyWindowOfOurs());
  HMODULE module = ::LoadLibraryA(sandbox.ModulePath().c_str());
  EXPECT_EQ(module, nullptr);
  if (module) ::FreeLibrary(module);
  EXPECT_FALSE(AnyWindowOfOurs());
  EXPECT_TRUE(boxes.Texts().empty());
}

#elif defined(N2HOST_WITHOUT_SETSTATUS)

TEST(NorvelApi, OldHostBindsWithoutSetStatus) {
  n2host::SetVersionText("2.00.05");
  TNorvelAPI api;
  EXPECT_TRUE(api.BindFunctions());
  EXPECT_EQ(api.ModuleHandle, ThisExe());
  EXPECT_EQ(api.SetStatus, nullptr);
  EXPECT_EQ(api.Connect, ::GetProcAddress(ThisExe(), "NVA_Connect"));
}

TEST(NorvelApi, NewerHostWithoutSetStatusIsRefused) {
  for (const char* version : {"2.00.06", "2.00.051", "3"}) {
    n2host::SetVersionText(version);
    TNorvelAPI api;
    EXPECT_FALSE(api.BindFunctions()) << version;
    EXPECT_EQ(api.ModuleHandle, nullptr) << version;
  }
}

TEST(PluginModule, LoadsIntoOldHost) {
  n2host::SetVersionText("2.00.05");
  n2test::PluginSandbox sandbox;
  HMODULE module = ::LoadLibraryA(sandbox.ModulePath().c_str());
  EXPECT_NE(module, nullptr);
  if (module) ::FreeLibrary(module);
  n2host::SetVersionText("2.00.06");
  module = ::LoadLibraryA(sandbox.ModulePath().c_str());
  EXPECT_EQ(module, nullptr);
}

#else

TEST(NorvelApi, BindsEveryEntryInOrder) {
  n2host::SetVersionText("2.00.06");
  TNorvelAPI api;
  ASSERT_TRUE(api.BindFunctions());
  EXPECT_EQ(api.ModuleHandle, ThisExe());
  EXPECT_EQ(api.GetVersion, ::GetProcAddress(ThisExe(), "NVA_GetVersion"));
  EXPECT_EQ(api.GetDataFolder, ::GetProcAddress(ThisExe(), "NVA_GetDataFolder"));
  EXPECT_EQ(api.RegisterCommand, ::GetProcAddress(ThisExe(), "NVA_RegisterCommand"));
  EXPECT_EQ(api.SetStatus, ::GetProcAddress(ThisExe(), "NVA_SetStatus"));
  // The entries lie in the host's order, NVA_SetStatus between GetStatus and ComposeMail.
  EXPECT_EQ(&api.SetStatus, &api.GetStatus + 1);
  EXPECT_EQ(&api.ComposeMail, &api.SetStatus + 1);
  EXPECT_EQ(&api.Connect, &api.GetVersion + 54);
  EXPECT_EQ(reinterpret_cast<void*>(&api.ModuleHandle), reinterpret_cast<void*>(&api.Connect + 1));
}

TEST(NorvelApi, SecondBindLooksNothingUp) {
  n2host::SetVersionText("2.00.06");
  TNorvelAPI api;
  ASSERT_TRUE(api.BindFunctions());
  int queries = n2host::VersionQueries();
  api.GetDataFolder = nullptr;
  EXPECT_TRUE(api.BindFunctions());
  EXPECT_EQ(n2host::VersionQueries(), queries);
  EXPECT_EQ(api.GetDataFolder, nullptr);
}

using NvcInfo = int(__stdcall*)(char*);
using NvcNoArgs = int(__stdcall*)();
using NvcSetup = int(__stdcall*)(DWORD);

class LoadedPlugin : public ::testing::Test {
 protected:
  void SetUp() override {
    n2host::SetVersionText("2.00.06");
    n2host::SetDataFolder(sandbox_.DataFolder());
    module_ = ::LoadLibraryA(sandbox_.ModulePath().c_str());
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override {
    if (module_) ::FreeLibrary(module_);
  }
  template <class F>
  F Export(const char* name) {
    return reinterpret_cast<F>(::GetProcAddress(module_, name));
  }

  n2test::PluginSandbox sandbox_;
  HMODULE module_ = nullptr;
};

TEST_F(LoadedPlugin, InformationRecordByteForByte) {
  char record[400];
  std::memset(record, 0xCC, sizeof record);
  EXPECT_EQ(Export<NvcInfo>("NVC_OnPlugInInfo")(record), 0);
  const std::string description =
      "\x82\xb1\x82\xcc\x83\x76\x83\x89\x83\x4f\x83\x43\x83\x93\x82\xcd\x83\x41\x83\x68\x83\x8c\x83\x58\x92\xa0"
      "\x82\xf0\x46\x54\x50\x81\x41\x48\x54\x54\x50\x83\x54\x81\x5b\x83\x6f\x8f\xe3\x82\xc9\x95\xdb\x91\xb6\x82"
      "\xb5\x8b\xa4\x97\x4c\x82\xb5\x82\xdc\x82\xb7\x81\x42";
  ASSERT_EQ(description.size(), 65u);
  const std::string texts[] = {"Norvel2! Velmora", "Orvasso, Inc.", "2.10", description};
  for (int i = 0; i < 4; ++i) {
    const char* field = record + 80 * i;
    EXPECT_EQ(std::string(field, texts[i].size()), texts[i]) << "field " << i;
    EXPECT_EQ(field[texts[i].size()], '\0') << "field " << i;
    // Nothing is written past the text and its NUL.
    for (size_t at = texts[i].size() + 1; at < 80; ++at)
      ASSERT_EQ(static_cast<unsigned char>(field[at]), 0xCC) << "field " << i << " byte " << at;
  }
  for (size_t at = 320; at < sizeof record; ++at) ASSERT_EQ(static_cast<unsigned char>(record[at]), 0xCC);
}

TEST_F(LoadedPlugin, MenuItemIsAppendedAndPickingItCallsTheCommand) {
  n2host::HostWindow window;
  auto menu_init = Export<int(__stdcall*)(DWORD, HMENU, DWORD)>("NVC_OnMenuInit");
  EXPECT_EQ(menu_init(0, window.Menu(), 1), 0);
  EXPECT_EQ(::GetMenuItemCount(window.PluginMenu()), 0);
  EXPECT_EQ(menu_init(0, window.Menu(), 0), 0);
  ASSERT_EQ(::GetMenuItemCount(window.PluginMenu()), 1);
  char text[64] = {};
  ::GetMenuStringA(window.PluginMenu(), 0, text, sizeof text, MF_BYPOSITION);
  EXPECT_STREQ(text, "Norvel2! Velmora");
  UINT id = ::GetMenuItemID(window.PluginMenu(), 0);
  n2host::CommandCallback callback = n2host::RegisteredCommand(id);
  ASSERT_NE(callback, nullptr);
  // The callback is the plug-in's own code.
  MEMORY_BASIC_INFORMATION info{};
  ::VirtualQuery(reinterpret_cast<void*>(callback), &info, sizeof info);
  EXPECT_EQ(info.AllocationBase, static_cast<void*>(module_));
  // A menu without the expected submenus gets nothing and reports nothing.
  HMENU flat = ::CreateMenu();
  EXPECT_EQ(menu_init(0, flat, 0), 0);
  EXPECT_EQ(::GetMenuItemCount(flat), 0);
  ::DestroyMenu(flat);
}

TEST_F(LoadedPlugin, CallbacksBeforeStartAndUnloadWhileTheHostGoesOn) {
  n2host::HostWindow window;
  EXPECT_EQ(Export<NvcSetup>("NVC_OnPlugInSetup")(0), 1);
  EXPECT_EQ(Export<NvcNoArgs>("NVC_OnExit")(), 0);
  EXPECT_EQ(Export<int(__stdcall*)(DWORD, HMENU, DWORD)>("NVC_OnMenuInit")(0, window.Menu(), 0), 0);
  n2host::RegisteredCommand(::GetMenuItemID(window.PluginMenu(), 0))(0, 0);
  ASSERT_TRUE(::FreeLibrary(module_));
  module_ = nullptr;
  // The host goes on: its loop keeps running and nothing of the plug-in is left behind.
  ::PostMessageA(window.Handle(), WM_NULL, 0, 0);
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
  EXPECT_EQ(::GetModuleHandleA("N2VelmEn.dll"), nullptr);
  // (Other processes of the Wine session may run the plug-in meanwhile.)
  for (HWND w = nullptr; (w = ::FindWindowExA(HWND_MESSAGE, w, "N2VelmoraHiddenWindow", nullptr));) {
    DWORD process = 0;
    ::GetWindowThreadProcessId(w, &process);
    EXPECT_NE(process, ::GetCurrentProcessId());
  }
  // And it can load the plug-in again.
  module_ = ::LoadLibraryA(sandbox_.ModulePath().c_str());
  EXPECT_NE(module_, nullptr);
}

HWND FindDialog() { return ::FindWindowA(nullptr, "Norvel2! plug-in Velmora Ver2.10"); }

bool DialogHasChildText(HWND dialog, const std::string& text) {
  struct Search {
    const std::string* text;
    bool found = false;
    static BOOL CALLBACK Proc(HWND child, LPARAM self) {
      auto* search = reinterpret_cast<Search*>(self);
      char buffer[256] = {};
      ::GetWindowTextA(child, buffer, sizeof buffer);
      if (*search->text == buffer) search->found = true;
      return TRUE;
    }
  } search{&text};
  ::EnumChildWindows(dialog, &Search::Proc, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

TEST_F(LoadedPlugin, StartCreatesTheDialogOnceAndItOutlivesAnEarlyUnload) {
  // The settings come from the file beside the module, not beside the host.
  sandbox_.WriteSettings("[Server]\r\nServerName=ftp.example.test\r\nPath=/shared/\r\n");
  n2test::WriteFileBytes(n2test::ExecutableFolder() + "N2VelmEn.ini", "[Server]\r\nServerName=wrong.test\r\n");
  EXPECT_EQ(Export<NvcNoArgs>("NVC_OnStart")(), 0);
  ::DeleteFileA((n2test::ExecutableFolder() + "N2VelmEn.ini").c_str());
  HWND dialog = FindDialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_FALSE(::IsWindowVisible(dialog));
  EXPECT_TRUE(DialogHasChildText(dialog, "ftp.example.test"));
  EXPECT_TRUE(DialogHasChildText(dialog, "/shared/"));
  EXPECT_FALSE(DialogHasChildText(dialog, "wrong.test"));
  EXPECT_EQ(Export<NvcNoArgs>("NVC_OnStart")(), 0);
  EXPECT_EQ(FindDialog(), dialog);  // a second start creates nothing
  EXPECT_EQ(::FindWindowExA(nullptr, dialog, nullptr, "Norvel2! plug-in Velmora Ver2.10"), nullptr);

  EXPECT_EQ(Export<NvcSetup>("NVC_OnPlugInSetup")(0), 1);
  EXPECT_TRUE(::IsWindowVisible(dialog));

  // Its keys work in a host loop that knows nothing of dialogs.
  auto pump = [] {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
  };
  HWND focus = ::GetFocus();
  ASSERT_TRUE(focus && ::IsChild(dialog, focus));
  ::PostMessageA(focus, WM_KEYDOWN, VK_TAB, 1);
  pump();
  EXPECT_NE(::GetFocus(), focus);
  EXPECT_TRUE(::IsChild(dialog, ::GetFocus()));
  ::PostMessageA(::GetFocus(), WM_KEYDOWN, VK_ESCAPE, 1);
  pump();
  EXPECT_FALSE(::IsWindowVisible(dialog));  // Esc is Cancel

  EXPECT_EQ(Export<NvcSetup>("NVC_OnPlugInSetup")(0), 1);
  EXPECT_EQ(Export<NvcNoArgs>("NVC_OnExit")(), 0);
  EXPECT_FALSE(::IsWindowVisible(dialog));
  EXPECT_TRUE(::IsWindow(dialog));  // closing hides, it does not destroy

  // The dialog, its timers and the folder watcher run the module's code, so
  // after the start the module stays loaded whatever the host does.
  auto setup = Export<NvcSetup>("NVC_OnPlugInSetup");
  ASSERT_TRUE(::FreeLibrary(module_));
  module_ = nullptr;
  EXPECT_NE(::GetModuleHandleA("N2VelmEn.dll"), nullptr);
  EXPECT_EQ(setup(0), 1);
  EXPECT_TRUE(::IsWindowVisible(dialog));
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
}

#endif

}  // namespace
