// n2host: loads a plug-in module and drives it as the mail client does.
//
//   n2host.exe [--version TEXT] [--data FOLDER] [--plugin PATH] [--show] [--answer-boxes] [--times] [COMMAND ...]
//
// --answer-boxes presses OK on each message box the plug-in shows, from a
// thread of its own, and prints "box: TEXT" (CR and LF written as \r and \n).
//
// Commands run in order; each prints one or more lines:
//   start            NVC_OnStart
//   menuinit:K       NVC_OnMenuInit with the main menu and menu kind K, then lists the plug-in submenu
//   pick             chooses the plug-in's menu item (a WM_COMMAND through the message loop)
//   setup            NVC_OnPlugInSetup
//   info             NVC_OnPlugInInfo, printing the record's four fields
//   others           the ten callbacks that do nothing, with their results
//   exit             NVC_OnExit
//   unload           FreeLibrary on the plug-in
//   windows          lists the process's top-level windows other than the host's own
//   upload           presses the settings dialog's "Upload Now", then runs the message loop
//                    until the job has ended (both progress panels hidden again, at most
//                    120 s); prints "upload: done", or "upload: not started", "upload: timed out",
//                    "upload: no dialog" (before start)
//   download         the same with "Download Now"
//   clear            the same with "Address book is cleared on the Server"
//   loop             runs the message loop until the main window is closed
// Without commands: start menuinit:0 info exit unload.
// Exit code 0; 3 when the plug-in refused to load.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/host_api.h"

namespace {

std::mutex print_lock;

void Print(const std::string& line) {
  std::lock_guard guard(print_lock);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string WindowText(HWND window) {
  char text[4096] = {};
  int length = ::GetWindowTextA(window, text, sizeof text);
  return std::string(text, length > 0 ? length : 0);
}

std::string ClassName(HWND window) {
  char name[64] = {};
  ::GetClassNameA(window, name, sizeof name);
  return name;
}

// Presses OK on the plug-in's message boxes and prints their texts, until destroyed.
class BoxAnswerer {
 public:
  BoxAnswerer() : thread_([this] { Run(); }) {}
  ~BoxAnswerer() {
    stop_ = true;
    thread_.join();
  }

 private:
  void Run() {
    while (!stop_) {
      ::EnumWindows(&BoxAnswerer::Inspect, reinterpret_cast<LPARAM>(this));
      ::Sleep(20);
    }
  }
  static BOOL CALLBACK Inspect(HWND window, LPARAM self) {
    auto* answerer = reinterpret_cast<BoxAnswerer*>(self);
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    if (process != ::GetCurrentProcessId() || ClassName(window) != "#32770" || !::IsWindowVisible(window) ||
        WindowText(window) != "Norvel2! Velmora" || answerer->answered_.count(window))
      return TRUE;
    answerer->answered_.insert(window);
    std::string text;
    ::EnumChildWindows(window, &BoxAnswerer::LongestStatic, reinterpret_cast<LPARAM>(&text));
    std::string shown;
    for (char c : text) shown += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
    Print("box: " + shown);
    ::PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(window, IDOK)));
    return TRUE;
  }
  static BOOL CALLBACK LongestStatic(HWND child, LPARAM out) {
    auto* text = reinterpret_cast<std::string*>(out);
    if (ClassName(child) != "Static") return TRUE;
    std::string candidate = WindowText(child);
    if (candidate.size() > text->size()) *text = candidate;
    return TRUE;
  }

  std::atomic<bool> stop_{false};
  std::set<HWND> answered_;  // this thread's only
  std::thread thread_;
};

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

void ListPluginMenu(const n2host::HostWindow& window) {
  HMENU menu = window.PluginMenu();
  for (int i = 0; i < ::GetMenuItemCount(menu); ++i) {
    char text[128] = {};
    ::GetMenuStringA(menu, i, text, sizeof text, MF_BYPOSITION);
    Print("menu item " + std::to_string(i) + ": id=" + std::to_string(::GetMenuItemID(menu, i)) + " text=" + text);
  }
}

void ListWindows(HWND host) {
  struct Lister {
    static BOOL CALLBACK Proc(HWND window, LPARAM host) {
      DWORD process = 0;
      ::GetWindowThreadProcessId(window, &process);
      if (process != ::GetCurrentProcessId() || window == reinterpret_cast<HWND>(host)) return TRUE;
      char class_name[64] = {};
      ::GetClassNameA(window, class_name, sizeof class_name);
      if (std::string(class_name) == "IME") return TRUE;  // the system's input-method window
      char title[256] = {};
      ::GetWindowTextA(window, title, sizeof title);
      Print(std::string("window: ") + title + " visible=" + (::IsWindowVisible(window) ? "1" : "0"));
      return TRUE;
    }
  };
  ::EnumWindows(&Lister::Proc, reinterpret_cast<LPARAM>(host));
}

void PumpPending() {
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) n2host::DispatchHostMessage(msg);
}

// The settings dialog's child window of the given class and text.
HWND FindDialogChild(HWND dialog, const std::string& class_name, const std::string& text) {
  struct Search {
    std::string class_name, text;
    HWND found = nullptr;
    static BOOL CALLBACK Proc(HWND child, LPARAM self) {
      auto* search = reinterpret_cast<Search*>(self);
      if (ClassName(child) != search->class_name || (!search->text.empty() && WindowText(child) != search->text))
        return TRUE;
      search->found = child;
      return FALSE;
    }
  } search{class_name, text};
  ::EnumChildWindows(dialog, &Search::Proc, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// With --times, a job's line also tells when it began and ended, in
// milliseconds of the system clock, so that jobs of several hosts can be set
// side by side.
bool g_print_times = false;

uint64_t NowMilliseconds() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return ((uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime) / 10000;
}

// A job runs while the dialog's progress panels are shown.
bool JobShown(HWND dialog) {
  HWND panel = FindDialogChild(dialog, "N2VelmoraPanel", "");
  return panel && (::GetWindowLongA(panel, GWL_STYLE) & WS_VISIBLE);
}

// The settings dialog of this process (other hosts may run beside it).
HWND FindOwnDialog() {
  struct Search {
    HWND found = nullptr;
    static BOOL CALLBACK Proc(HWND window, LPARAM self) {
      DWORD process = 0;
      ::GetWindowThreadProcessId(window, &process);
      if (process != ::GetCurrentProcessId() || WindowText(window) != "Norvel2! plug-in Velmora Ver2.10") return TRUE;
      reinterpret_cast<Search*>(self)->found = window;
      return FALSE;
    }
  } search;
  ::EnumWindows(&Search::Proc, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Clicks a button of the plug-in's settings dialog (its parent gets the
// notification a mouse click sends) and runs the message loop until the job
// it started has ended.
void PressAndWait(const std::string& command, const std::string& caption) {
  HWND dialog = FindOwnDialog();
  HWND button = dialog ? FindDialogChild(dialog, "Button", caption) : nullptr;
  if (!button) {
    Print(command + ": no dialog");
    return;
  }
  ::SendMessageA(::GetParent(button), WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
  if (!JobShown(dialog)) {
    Print(command + ": not started");
    return;
  }
  const DWORD start = ::GetTickCount();
  const uint64_t began = NowMilliseconds();
  while (JobShown(dialog)) {
    if (::GetTickCount() - start > 120000) {
      Print(command + ": timed out");
      return;
    }
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    PumpPending();
  }
  Print(command + ": done" +
        (g_print_times ? " " + std::to_string(began) + " " + std::to_string(NowMilliseconds()) : ""));
}

// Clicks a button of the settings dialog that starts no job (OK, Apply).
void Press(const std::string& command, const std::string& caption) {
  HWND dialog = FindOwnDialog();
  HWND button = dialog ? FindDialogChild(dialog, "Button", caption) : nullptr;
  if (!button) {
    Print(command + ": no dialog");
    return;
  }
  ::SendMessageA(::GetParent(button), WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
  PumpPending();
  Print(command + ": done");
}

void PrintInfo(const n2host::PluginModule& plugin) {
  char record[320 + 16];
  std::memset(record, 0xCC, sizeof record);
  int result = plugin.Call("NVC_OnPlugInInfo", reinterpret_cast<DWORD>(record));
  Print("NVC_OnPlugInInfo=" + std::to_string(result));
  const char* names[] = {"name", "vendor", "version", "description"};
  for (int i = 0; i < 4; ++i) {
    std::string field(record + 80 * i, strnlen(record + 80 * i, 80));
    Print(std::string(names[i]) + "=" + (i == 3 ? "hex:" + Hex(field) : field));
  }
}

int Run(int argc, char** argv) {
  std::string plugin_path;
  std::vector<std::string> commands;
  bool show = false;
  bool answer_boxes = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--version" && i + 1 < argc) {
      n2host::SetVersionText(argv[++i]);
    } else if (arg == "--data" && i + 1 < argc) {
      n2host::SetDataFolder(argv[++i]);
    } else if (arg == "--plugin" && i + 1 < argc) {
      plugin_path = argv[++i];
    } else if (arg == "--show") {
      show = true;
    } else if (arg == "--answer-boxes") {
      answer_boxes = true;
    } else if (arg == "--times") {
      g_print_times = true;
    } else {
      commands.push_back(arg);
    }
  }
  if (plugin_path.empty()) {
    char self[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    // The folder part ends after the last "\\" that is a character of its own.
    const char* folder_end = self;
    for (const char* p = self; *p; p = ::CharNextA(p))
      if (*p == '\\') folder_end = p + 1;
    plugin_path = std::string(static_cast<const char*>(self), folder_end) + "N2VelmEn.dll";
  }
  if (commands.empty()) commands = {"start", "menuinit:0", "info", "exit", "unload"};

  std::unique_ptr<BoxAnswerer> answerer;
  if (answer_boxes) answerer = std::make_unique<BoxAnswerer>();
  n2host::HostWindow window;
  if (show) ::ShowWindow(window.Handle(), SW_SHOW);
  n2host::PluginModule plugin(plugin_path);
  if (!plugin.Loaded()) {
    Print("refused " + plugin_path + " (error " + std::to_string(plugin.LoadError()) + ")");
    return 3;
  }
  Print("loaded " + plugin_path);

  for (const std::string& command : commands) {
    if (command == "start") {
      Print("NVC_OnStart=" + std::to_string(plugin.Call("NVC_OnStart")));
    } else if (command.rfind("menuinit:", 0) == 0) {
      DWORD kind = std::stoul(command.substr(9));
      int result = plugin.Call("NVC_OnMenuInit", 0, reinterpret_cast<DWORD>(window.Menu()), kind);
      Print("NVC_OnMenuInit(" + std::to_string(kind) + ")=" + std::to_string(result));
      ListPluginMenu(window);
    } else if (command == "pick") {
      HMENU menu = window.PluginMenu();
      int count = ::GetMenuItemCount(menu);
      UINT id = count > 0 ? ::GetMenuItemID(menu, count - 1) : 0;
      ::PostMessageA(window.Handle(), WM_COMMAND, MAKEWPARAM(id, 0), 0);
      PumpPending();
      Print("picked id=" + std::to_string(id));
    } else if (command == "setup") {
      Print("NVC_OnPlugInSetup=" + std::to_string(plugin.Call("NVC_OnPlugInSetup")));
      PumpPending();
    } else if (command == "info") {
      PrintInfo(plugin);
    } else if (command == "others") {
      for (const char* name : {"NVC_OnOpenFolder", "NVC_OnOpenMail", "NVC_OnEveryMinute", "NVC_OnOpenCompose",
                               "NVC_OnOutgoing", "NVC_OnKeyDispatch", "NVC_OnRetrieve", "NVC_OnSend",
                               "NVC_OnFinishRetrieve", "NVC_OnDragDrop"})
        Print(std::string(name) + "=" + std::to_string(plugin.Call(name, 1, 2, 3, 4)));
    } else if (command == "exit") {
      Print("NVC_OnExit=" + std::to_string(plugin.Call("NVC_OnExit")));
    } else if (command == "unload") {
      plugin.Unload();
      PumpPending();
      Print("unloaded");
    } else if (command == "windows") {
      ListWindows(window.Handle());
    } else if (command == "upload") {
      PressAndWait(command, "Upload Now");
    } else if (command == "download") {
      PressAndWait(command, "Download Now");
    } else if (command == "apply") {
      Press(command, "Apply");
    } else if (command == "clear") {
      PressAndWait(command, "Address book is cleared on the Server");
    } else if (command == "loop") {
      ::ShowWindow(window.Handle(), SW_SHOW);
      n2host::RunMessageLoop();
    } else {
      Print("unknown command " + command);
      return 2;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    Print(std::string("host error: ") + e.what());
    return 1;
  }
}
