// The host's API: functions exported by the host's executable under names
// beginning with "NVA_", looked up by name when the plug-in is loaded.
#pragma once

#include <windows.h>

namespace n2 {

// Host functions the plug-in calls. Texts are NUL-terminated, owned by the host.
using NvaGetVersionProc = const char*(__stdcall*)();
using NvaGetDataFolderProc = const char*(__stdcall*)();
using NvaMenuCommandProc = void(__stdcall*)(DWORD, DWORD);
using NvaRegisterCommandProc = DWORD(__stdcall*)(const char* text, DWORD menu_kind, NvaMenuCommandProc callback);

class TNorvelAPI {
 public:
  TNorvelAPI() = default;

  // Looks every host function up in the process's main module. True when the
  // host qualifies: every required function present and the version rule met.
  // A second call on a bound object returns true at once.
  bool BindFunctions();

  // One entry per host function, in the host's order; nullptr when not found.
  FARPROC GetVersion = nullptr;
  FARPROC Command = nullptr;
  FARPROC GetWindowHandles = nullptr;
  FARPROC RegisterCommand = nullptr;
  FARPROC RegisterUICallback = nullptr;
  FARPROC GetDataFolder = nullptr;
  FARPROC GetTempFolder = nullptr;
  FARPROC GetTempFileName = nullptr;
  FARPROC GetCurrentMailBox = nullptr;
  FARPROC SetCurrentMailBox = nullptr;
  FARPROC GetCurrentFolder = nullptr;
  FARPROC SetCurrentFolder = nullptr;
  FARPROC GetFolderDisplayName = nullptr;
  FARPROC SetMessageText = nullptr;
  FARPROC GetCurrentMail = nullptr;
  FARPROC SetCurrentMail = nullptr;
  FARPROC GetNextMail = nullptr;
  FARPROC SetSel = nullptr;
  FARPROC AppendMessage = nullptr;
  FARPROC MoveSelectedMessages = nullptr;
  FARPROC GetStatus = nullptr;
  FARPROC SetStatus = nullptr;  // optional for hosts older than 2.00.06
  FARPROC ComposeMail = nullptr;
  FARPROC GetCharSet = nullptr;
  FARPROC GetSource = nullptr;
  FARPROC SetSource = nullptr;
  FARPROC GetHeader = nullptr;
  FARPROC GetText = nullptr;
  FARPROC SetText = nullptr;
  FARPROC GetSpecifiedHeader = nullptr;
  FARPROC SetSpecifiedHeader = nullptr;
  FARPROC CompGetCharSet = nullptr;
  FARPROC CompGetSource = nullptr;
  FARPROC CompSetSource = nullptr;
  FARPROC CompGetHeader = nullptr;
  FARPROC CompGetSpecifiedHeader = nullptr;
  FARPROC CompSetSpecifiedHeader = nullptr;
  FARPROC CompGetText = nullptr;
  FARPROC CompSetText = nullptr;
  FARPROC CompAttachFile = nullptr;
  FARPROC Alloc = nullptr;
  FARPROC ReAlloc = nullptr;
  FARPROC Free = nullptr;
  FARPROC ISO_2022_JP = nullptr;
  FARPROC ISO_2022_KR = nullptr;
  FARPROC HZ_GB2312 = nullptr;
  FARPROC ISO_8859_2 = nullptr;
  FARPROC EUC_JP = nullptr;
  FARPROC UTF_7 = nullptr;
  FARPROC UTF_8 = nullptr;
  FARPROC B64Convert = nullptr;
  FARPROC QPConvert = nullptr;
  FARPROC MIMEHeader = nullptr;
  FARPROC SerializeRcpts = nullptr;
  FARPROC Connect = nullptr;
  // The host's main module; zero while unbound.
  HMODULE ModuleHandle = nullptr;

  const char* CallGetVersion() const { return reinterpret_cast<NvaGetVersionProc>(GetVersion)(); }
  const char* CallGetDataFolder() const { return reinterpret_cast<NvaGetDataFolderProc>(GetDataFolder)(); }
  DWORD CallRegisterCommand(const char* text, DWORD menu_kind, NvaMenuCommandProc callback) const {
    return reinterpret_cast<NvaRegisterCommandProc>(RegisterCommand)(text, menu_kind, callback);
  }
};

// The version rule: a host whose version text is at most 7 characters long and
// compares below "2.00.06" (ASCII letters folded to upper case) may lack NVA_SetStatus.
bool HostVersionNeedsSetStatus(const char* version);

}  // namespace n2
