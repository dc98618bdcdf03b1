#include "plugin/n2velmen.h"

#include <cstring>

#include "plugin/norvel_api.h"
#include "plugin/plugin_state.h"
#include "plugin/sync_helper.h"

namespace n2 {

TNorvelAPI* HostAPI = nullptr;

namespace {

// Module load, on the host's loading thread: the synchronizer first (its
// hidden window belongs to this thread), then the host API. Any failure
// refuses the load silently.
bool LoadPlugin() {
  try {
    SyncHelper = new TSyncHelper();
    HostAPI = new TNorvelAPI();
    if (HostAPI->BindFunctions()) return true;
  } catch (...) {
  }
  delete HostAPI;
  HostAPI = nullptr;
  delete SyncHelper;
  SyncHelper = nullptr;
  return false;
}

// Module unload while the host goes on: nothing of ours may run afterwards.
void UnloadPlugin() {
  delete SyncHelper;
  SyncHelper = nullptr;
  delete HostAPI;
  HostAPI = nullptr;
  DataFolder.clear();
  AddrBookFolder.clear();
}

void ShowSettingsDialog() {}

}  // namespace

void __stdcall MenuCommand(DWORD, DWORD) { ShowSettingsDialog(); }

}  // namespace n2

using namespace n2;

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      return LoadPlugin() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
      // At process exit the system tears everything down itself.
      if (reserved == nullptr) UnloadPlugin();
      return TRUE;
    default:
      return TRUE;
  }
}

int __stdcall NVC_OnStart() {
  const char* folder = HostAPI->CallGetDataFolder();
  DataFolder = folder ? folder : "";
  AddrBookFolder = DataFolder + "AddrBook";
  return 0;
}

int __stdcall NVC_OnExit() { return 0; }

int __stdcall NVC_OnMenuInit(DWORD, HMENU menu, DWORD menu_kind) {
  if (menu_kind != 0) return 0;
  HMENU submenu = ::GetSubMenu(::GetSubMenu(menu, 4), 2);
  DWORD command = HostAPI->CallRegisterCommand(kPluginName, menu_kind, &MenuCommand);
  ::AppendMenuA(submenu, MF_STRING, command, kPluginName);
  return 0;
}

int __stdcall NVC_OnOpenFolder(DWORD) { return 0; }
int __stdcall NVC_OnOpenMail(DWORD) { return 0; }
int __stdcall NVC_OnEveryMinute() { return 0; }
int __stdcall NVC_OnOpenCompose(DWORD, DWORD) { return 0; }
int __stdcall NVC_OnOutgoing(DWORD, DWORD) { return 0; }
int __stdcall NVC_OnKeyDispatch(DWORD, DWORD, DWORD) { return 0; }
int __stdcall NVC_OnRetrieve(DWORD, DWORD) { return 0; }
int __stdcall NVC_OnSend(DWORD) { return 0; }
int __stdcall NVC_OnFinishRetrieve(DWORD) { return 0; }

int __stdcall NVC_OnPlugInSetup(DWORD) {
  ShowSettingsDialog();
  return 1;
}

int __stdcall NVC_OnPlugInInfo(char* record) {
  if (record == nullptr) return 0;
  const char* fields[] = {kPluginName, kPluginVendor, kPluginVersion, kPluginDescription};
  for (size_t i = 0; i < 4; ++i) std::memcpy(record + i * kInfoFieldSize, fields[i], std::strlen(fields[i]) + 1);
  return 0;
}

int __stdcall NVC_OnDragDrop(DWORD, DWORD, DWORD, DWORD) { return 0; }
