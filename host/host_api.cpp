#include "host/host_api.h"

#include <map>
#include <stdexcept>

namespace n2host {
namespace {

std::string g_version = "2.00.06";
std::string g_data_folder = "C:\\";
int g_version_queries = 0;

constexpr DWORD kFirstCommandId = 40001;
std::map<DWORD, CommandCallback>& Commands() {
  static std::map<DWORD, CommandCallback> commands;
  return commands;
}

LRESULT CALLBACK HostWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      if (CommandCallback callback = RegisteredCommand(LOWORD(wparam))) {
        callback(0, 0);
        return 0;
      }
      break;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
  }
  return ::DefWindowProcA(window, message, wparam, lparam);
}

HMENU BuildMenu() {
  HMENU bar = ::CreateMenu();
  const char* titles[] = {"&File", "&Edit", "&View", "&Mailbox", "&Tools", "&Help"};
  for (int i = 0; i < 6; ++i) {
    HMENU popup = ::CreatePopupMenu();
    if (i == 4) {
      ::AppendMenuA(popup, MF_STRING, 100, "&Options...");
      ::AppendMenuA(popup, MF_SEPARATOR, 0, nullptr);
      HMENU plugins = ::CreatePopupMenu();
      ::AppendMenuA(popup, MF_POPUP, reinterpret_cast<UINT_PTR>(plugins), "&Plug-ins");
    } else {
      ::AppendMenuA(popup, MF_STRING, 200 + i, "(empty)");
    }
    ::AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), titles[i]);
  }
  return bar;
}

}  // namespace

void SetVersionText(const std::string& version) { g_version = version; }
void SetDataFolder(const std::string& folder) {
  // The folder text ends with "\\" as the mail client reports it. Its last
  // character may be a double-byte one whose second byte is that of "\\".
  g_data_folder = folder;
  const char* end = g_data_folder.c_str() + g_data_folder.size();
  const char* last = ::CharPrevA(g_data_folder.c_str(), end);
  if (g_data_folder.empty() || last + 1 != end || *last != '\\') g_data_folder += '\\';
}
int VersionQueries() { return g_version_queries; }

CommandCallback RegisteredCommand(DWORD command_id) {
  auto it = Commands().find(command_id);
  return it == Commands().end() ? nullptr : it->second;
}

HostWindow::HostWindow() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = &HostWndProc;
  wc.hInstance = ::GetModuleHandleA(nullptr);
  wc.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = "N2HostMainWindow";
  ::RegisterClassA(&wc);
  window_ = ::CreateWindowExA(0, wc.lpszClassName, "Norvel2 (test host)", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 640, 480, nullptr, BuildMenu(), wc.hInstance, nullptr);
  if (!window_) throw std::runtime_error("cannot create the host window");
}

HostWindow::~HostWindow() {
  if (::IsWindow(window_)) {
    // Closing the main window must not end a later message loop of the same thread.
    ::SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&::DefWindowProcA));
    ::DestroyWindow(window_);
  }
}

void DispatchHostMessage(MSG& msg) {
  HWND active = ::GetActiveWindow();
  char class_name[16] = {};
  if (active && ::GetClassNameA(active, class_name, sizeof class_name) && std::string(class_name) == "#32770" &&
      ::IsDialogMessageA(active, &msg))
    return;
  ::TranslateMessage(&msg);
  ::DispatchMessageA(&msg);
}

int RunMessageLoop() {
  MSG msg;
  while (::GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchHostMessage(msg);
  return static_cast<int>(msg.wParam);
}

PluginModule::PluginModule(const std::string& path) {
  module_ = ::LoadLibraryA(path.c_str());
  if (!module_) load_error_ = ::GetLastError();
}

PluginModule::~PluginModule() { Unload(); }

void PluginModule::Unload() {
  if (module_) ::FreeLibrary(module_);
  module_ = nullptr;
}

int CallbackArgumentCount(const std::string& name) {
  static const std::map<std::string, int> counts = {
      {"NVC_OnStart", 0},       {"NVC_OnExit", 0},        {"NVC_OnMenuInit", 3},       {"NVC_OnOpenFolder", 1},
      {"NVC_OnOpenMail", 1},    {"NVC_OnEveryMinute", 0}, {"NVC_OnOpenCompose", 2},    {"NVC_OnOutgoing", 2},
      {"NVC_OnKeyDispatch", 3}, {"NVC_OnRetrieve", 2},    {"NVC_OnSend", 1},           {"NVC_OnFinishRetrieve", 1},
      {"NVC_OnPlugInSetup", 1}, {"NVC_OnPlugInInfo", 1},  {"NVC_OnDragDrop", 4}};
  auto it = counts.find(name);
  if (it == counts.end()) throw std::runtime_error("unknown callback " + name);
  return it->second;
}

int PluginModule::Call(const char* name, DWORD a, DWORD b, DWORD c, DWORD d) const {
  FARPROC entry = Export(name);
  if (!entry) throw std::runtime_error(std::string("plug-in does not export ") + name);
  switch (CallbackArgumentCount(name)) {
    case 0: return reinterpret_cast<int(__stdcall*)()>(entry)();
    case 1: return reinterpret_cast<int(__stdcall*)(DWORD)>(entry)(a);
    case 2: return reinterpret_cast<int(__stdcall*)(DWORD, DWORD)>(entry)(a, b);
    case 3: return reinterpret_cast<int(__stdcall*)(DWORD, DWORD, DWORD)>(entry)(a, b, c);
    default: return reinterpret_cast<int(__stdcall*)(DWORD, DWORD, DWORD, DWORD)>(entry)(a, b, c, d);
  }
}

}  // namespace n2host

// ---- The API functions, exported by name from the host executable ----

using n2host::g_data_folder;
using n2host::g_version;

extern "C" {

__declspec(dllexport) const char* __stdcall NVA_GetVersion() {
  ++n2host::g_version_queries;
  return g_version.c_str();
}

__declspec(dllexport) const char* __stdcall NVA_GetDataFolder() { return g_data_folder.c_str(); }

__declspec(dllexport) DWORD __stdcall NVA_RegisterCommand(const char*, DWORD, n2host::CommandCallback callback) {
  DWORD id = n2host::kFirstCommandId + static_cast<DWORD>(n2host::Commands().size());
  n2host::Commands()[id] = callback;
  return id;
}

// The rest of the client's API: present so that plug-ins bind; the plug-in
// under test never calls them.
#define N2HOST_UNUSED_API(name) \
  __declspec(dllexport) DWORD __stdcall name() { return 0; }
N2HOST_UNUSED_API(NVA_Command)
N2HOST_UNUSED_API(NVA_GetWindowHandles)
N2HOST_UNUSED_API(NVA_RegisterUICallback)
N2HOST_UNUSED_API(NVA_GetTempFolder)
N2HOST_UNUSED_API(NVA_GetTempFileName)
N2HOST_UNUSED_API(NVA_GetCurrentMailBox)
N2HOST_UNUSED_API(NVA_SetCurrentMailBox)
N2HOST_UNUSED_API(NVA_GetCurrentFolder)
N2HOST_UNUSED_API(NVA_SetCurrentFolder)
N2HOST_UNUSED_API(NVA_GetFolderDisplayName)
N2HOST_UNUSED_API(NVA_SetMessageText)
N2HOST_UNUSED_API(NVA_GetCurrentMail)
N2HOST_UNUSED_API(NVA_SetCurrentMail)
N2HOST_UNUSED_API(NVA_GetNextMail)
N2HOST_UNUSED_API(NVA_SetSel)
N2HOST_UNUSED_API(NVA_AppendMessage)
N2HOST_UNUSED_API(NVA_MoveSelectedMessages)
N2HOST_UNUSED_API(NVA_GetStatus)
N2HOST_UNUSED_API(NVA_ComposeMail)
N2HOST_UNUSED_API(NVA_GetCharSet)
N2HOST_UNUSED_API(NVA_GetSource)
N2HOST_UNUSED_API(NVA_SetSource)
N2HOST_UNUSED_API(NVA_GetHeader)
N2HOST_UNUSED_API(NVA_GetText)
N2HOST_UNUSED_API(NVA_SetText)
N2HOST_UNUSED_API(NVA_GetSpecifiedHeader)
N2HOST_UNUSED_API(NVA_SetSpecifiedHeader)
N2HOST_UNUSED_API(NVA_CompGetCharSet)
N2HOST_UNUSED_API(NVA_CompGetSource)
N2HOST_UNUSED_API(NVA_CompSetSource)
N2HOST_UNUSED_API(NVA_CompGetHeader)
N2HOST_UNUSED_API(NVA_CompGetSpecifiedHeader)
N2HOST_UNUSED_API(NVA_CompSetSpecifiedHeader)
N2HOST_UNUSED_API(NVA_CompGetText)
N2HOST_UNUSED_API(NVA_CompSetText)
N2HOST_UNUSED_API(NVA_CompAttachFile)
N2HOST_UNUSED_API(NVA_Alloc)
N2HOST_UNUSED_API(NVA_ReAlloc)
N2HOST_UNUSED_API(NVA_Free)
N2HOST_UNUSED_API(NVA_ISO_2022_JP)
N2HOST_UNUSED_API(NVA_ISO_2022_KR)
N2HOST_UNUSED_API(NVA_HZ_GB2312)
N2HOST_UNUSED_API(NVA_ISO_8859_2)
N2HOST_UNUSED_API(NVA_EUC_JP)
N2HOST_UNUSED_API(NVA_UTF_7)
N2HOST_UNUSED_API(NVA_UTF_8)
N2HOST_UNUSED_API(NVA_B64Convert)
N2HOST_UNUSED_API(NVA_QPConvert)
N2HOST_UNUSED_API(NVA_MIMEHeader)
N2HOST_UNUSED_API(NVA_SerializeRcpts)
#ifndef N2HOST_WITHOUT_CONNECT
N2HOST_UNUSED_API(NVA_Connect)
#endif
#ifndef N2HOST_WITHOUT_SETSTATUS
N2HOST_UNUSED_API(NVA_SetStatus)
#endif

}  // extern "C"
