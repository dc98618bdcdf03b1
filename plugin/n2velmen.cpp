#include "plugin/n2velmen.h"

#include <cstring>

#include "plugin/norvel_api.h"
#include "plugin/plugin_state.h"
#include "plugin/sync_helper.h"
#include "settings/n2_shared_main.h"
#include "sync/n2_shared_dm.h"
#include "sync/n2_shared_thread.h"

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

// The data module and the dialog are never freed while the host runs, and
// their timers, windows and watcher thread run the module's code. Once they
// exist the module stays loaded until the process ends, so that a host that
// unloads the plug-in early never calls into code that is gone.
void PinModule() {
  HMODULE self = nullptr;
  ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&PinModule), &self);
}

// The dialog exists from the first start on; before that there is nothing to show.
void ShowSettingsDialog() {
  if (FrmN2Shared) FrmN2Shared->Show();
}

// The start-up download: the status texts, then a worker that waits 60
// seconds before it downloads. The dialog keeps its idle look; activating it
// while the job is pending shows the busy one.
void StartStartupDownload() {
  if (!FrmN2Shared->ChkStart.Checked() || !Ready) return;
  FrmN2Shared->LblStatus1.SetCaption("Download of address book");
  FrmN2Shared->LblStatus2.SetCaption("Download of address book");
  StartJob(DmN2->JobContext(), jkFtpDownload, jkHttpDownload, TJobTrigger::kStartUp);
}

// No error may cross into the host: a callback that fails returns its usual result.
template <class F>
void Guarded(F&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

}  // namespace

void __stdcall MenuCommand(DWORD, DWORD) {
  Guarded([] { ShowSettingsDialog(); });
}

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
  Guarded([] {
    const char* folder = HostAPI->CallGetDataFolder();
    DataFolder = folder ? folder : "";
    AddrBookFolder = DataFolder + "AddrBook";
    // The dialog's creation reads the settings and points the watcher at
    // AddrBookFolder, so the data module and the folder come first. A dialog
    // that could not be built is tried again at the next start.
    if (!DmN2) {
      PinModule();
      DmN2 = new TDmN2();
    }
    if (!FrmN2Shared) FrmN2Shared = new TFrmN2Shared();
    DmN2->TimN2.SetEnabled(FrmN2Shared->ChkAuto.Checked());
    StartStartupDownload();
  });
  return 0;
}

int __stdcall NVC_OnExit() {
  Guarded([] {
    if (FrmN2Shared && DmN2) RunShutdownUpload(DmN2->JobContext());
  });
  Guarded([] {
    if (FrmN2Shared) FrmN2Shared->Close();
  });
  return 0;
}

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
  Guarded([] { ShowSettingsDialog(); });
  return 1;
}

int __stdcall NVC_OnPlugInInfo(char* record) {
  if (record == nullptr) return 0;
  const char* fields[] = {kPluginName, kPluginVendor, kPluginVersion, kPluginDescription};
  for (size_t i = 0; i < 4; ++i) std::memcpy(record + i * kInfoFieldSize, fields[i], std::strlen(fields[i]) + 1);
  return 0;
}

int __stdcall NVC_OnDragDrop(DWORD, DWORD, DWORD, DWORD) { return 0; }
