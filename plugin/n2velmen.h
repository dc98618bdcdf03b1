// The plug-in's exported callbacks. The host calls them on its main thread;
// every argument and result is a 32-bit value.
#pragma once

#include <windows.h>

extern "C" {
int __stdcall NVC_OnStart();
int __stdcall NVC_OnExit();
int __stdcall NVC_OnMenuInit(DWORD unused, HMENU menu, DWORD menu_kind);
int __stdcall NVC_OnOpenFolder(DWORD);
int __stdcall NVC_OnOpenMail(DWORD);
int __stdcall NVC_OnEveryMinute();
int __stdcall NVC_OnOpenCompose(DWORD, DWORD);
int __stdcall NVC_OnOutgoing(DWORD, DWORD);
int __stdcall NVC_OnKeyDispatch(DWORD, DWORD, DWORD);
int __stdcall NVC_OnRetrieve(DWORD, DWORD);
int __stdcall NVC_OnSend(DWORD);
int __stdcall NVC_OnFinishRetrieve(DWORD);
int __stdcall NVC_OnPlugInSetup(DWORD);
int __stdcall NVC_OnPlugInInfo(char* record);
int __stdcall NVC_OnDragDrop(DWORD, DWORD, DWORD, DWORD);
}

namespace n2 {

class TNorvelAPI;

// The bound host API; exists from a successful load on.
extern TNorvelAPI* HostAPI;

// Caption of the menu item, and the name in the information record.
inline constexpr char kPluginName[] = "Norvel2! Velmora";
inline constexpr char kPluginVendor[] = "Orvasso, Inc.";
inline constexpr char kPluginVersion[] = "2.10";
// "This plug-in keeps the address book on an FTP or HTTP server and shares it", in Shift_JIS.
inline constexpr char kPluginDescription[] =
    "\x82\xb1\x82\xcc\x83\x76\x83\x89\x83\x4f\x83\x43\x83\x93\x82\xcd\x83\x41\x83\x68\x83\x8c\x83\x58\x92\xa0"
    "\x82\xf0\x46\x54\x50\x81\x41\x48\x54\x54\x50\x83\x54\x81\x5b\x83\x6f\x8f\xe3\x82\xc9\x95\xdb\x91\xb6\x82"
    "\xb5\x8b\xa4\x97\x4c\x82\xb5\x82\xdc\x82\xb7\x81\x42";
static_assert(sizeof kPluginDescription == 66);

// Width of each of the four text fields of the information record.
inline constexpr size_t kInfoFieldSize = 80;

// The callback the host calls when the user picks the plug-in's menu item.
void __stdcall MenuCommand(DWORD, DWORD);

}  // namespace n2
