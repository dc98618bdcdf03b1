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
//                    until the job has ended (both progress panels hidden again, and
//                    idle for 0.3 s, so that an upload a download leads to has ended too; at most
//                    120 s); prints "upload: done", or "upload: not started", "upload: timed out",
//                    "upload: no dialog" (before start)
//   download         the same with "Download Now"
//   clear            the same with "Address book is cleared on the Server"
//   loop             runs the message loop until the main window is closed
//   memory           prints the process's peak working set and peak private bytes so far
//   apply            presses the settings dialog's "Apply"
//   edit:CARD:LINE   waits until no job runs, adds LINE before the end of the card CARD of the
//                    address book (as the mail client rewrites a card), then runs the message
//                    loop until a job has run after the change (at most 120 s); prints
//                    "edit: done" (with --times, begin and end) or "edit: no job"
//   copybook:FOLDER  copies the files of the address book into FOLDER (made when missing)
//   resources        prints the process's private bytes, handle count and GDI and USER objects, as
//                    the system reports them and as the host counts them (see PrintResources)
//   soak:N:CARD      runs the message loop until the plug-in has run N jobs, rewriting CARD after
//                    every second job so that uploads on change alternate with the timer's
//                    downloads; prints "soak: N jobs in T ms" or "soak: timed out after K jobs"
// Without commands: start menuinit:0 info exit unload.
// --times adds to each job command's "done" the job's start and end, in
// milliseconds of the system clock.
// --job-limit SECONDS: how long a job command waits for its job to end
// (120 s without), for benchmarks of books whose download takes longer.
// Exit code 0; 3 when the plug-in refused to load.
#include <windows.h>
#include <intrin.h>
// psapi.h needs the types of windows.h.
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
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
// How long a job command waits for its job to end (--job-limit).
DWORD g_job_limit_ms = 120000;

uint64_t NowMilliseconds() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return ((uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime) / 10000;
}

// A job runs while the dialog's progress panels are shown. The panel is
// looked for once (panel keeps it): walking the dialog's children at every
// message the job posts would cost the job time no mail client spends.
bool JobShown(HWND dialog, HWND& panel) {
  if (!panel || !::IsWindow(panel)) panel = FindDialogChild(dialog, "N2VelmoraPanel", "");
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
// notification a mouse click sends); returns the dialog, or nothing (and
// says so) when there is none. pressed_at, when given, gets the moment of the
// click (after the dialog and the button were found).
HWND Press(const std::string& command, const std::string& caption, uint64_t* pressed_at = nullptr) {
  HWND dialog = FindOwnDialog();
  HWND button = dialog ? FindDialogChild(dialog, "Button", caption) : nullptr;
  if (!button) {
    Print(command + ": no dialog");
    return nullptr;
  }
  if (pressed_at) *pressed_at = NowMilliseconds();
  ::SendMessageA(::GetParent(button), WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
  return dialog;
}

// Clicks a button that starts a job and runs the message loop until the job
// has ended, and any job it leads to (an upload that follows a download):
// the dialog must stay idle for a moment. The end printed is the first job's.
void PressAndWait(const std::string& command, const std::string& caption) {
  uint64_t began = 0;
  HWND dialog = Press(command, caption, &began);
  if (!dialog) return;
  HWND panel = nullptr;
  if (!JobShown(dialog, panel)) {
    Print(command + ": not started");
    return;
  }
  const DWORD start = ::GetTickCount();
  uint64_t ended = 0;
  for (DWORD idle_since = 0;;) {
    if (::GetTickCount() - start > g_job_limit_ms) {
      Print(command + ": timed out");
      return;
    }
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    PumpPending();
    if (JobShown(dialog, panel)) {
      idle_since = 0;
      continue;
    }
    if (ended == 0) ended = NowMilliseconds();
    if (idle_since == 0) idle_since = ::GetTickCount();
    if (::GetTickCount() - idle_since >= 300) break;
  }
  Print(command + ": done" + (g_print_times ? " " + std::to_string(began) + " " + std::to_string(ended) : ""));
}

void PrintMemory() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) {
    Print("memory: unknown");
    return;
  }
  Print("memory: peak working set " + std::to_string(counters.PeakWorkingSetSize / 1024) + " KB, peak private " +
        std::to_string(counters.PeakPagefileUsage / 1024) + " KB");
}

// Dispatches messages one at a time, asking done after each one, until it
// says so or limit_ms pass; false on time-out. A job shows its panels in one
// message and hides them in a later one, so a done that looks after every
// message sees every job, however short.
bool LoopUntil(const std::function<bool()>& done, DWORD limit_ms) {
  const DWORD start = ::GetTickCount();
  while (!done()) {
    if (::GetTickCount() - start > limit_ms) return false;
    MSG msg;
    if (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
      n2host::DispatchHostMessage(msg);
    else
      ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
  }
  return true;
}

// Counts the jobs the plug-in runs, by the look of its dialog.
class JobCounter {
 public:
  explicit JobCounter(HWND dialog) : panel_(FindDialogChild(dialog, "N2VelmoraPanel", "")) {}
  bool Found() const { return panel_ != nullptr; }
  bool Running() const { return ::GetWindowLongA(panel_, GWL_STYLE) & WS_VISIBLE; }
  // Call after every message; true when a job has just ended.
  bool Step() {
    const bool running = Running();
    const bool ended = was_running_ && !running;
    was_running_ = running;
    if (ended) ++ended_;
    return ended;
  }
  int Ended() const { return ended_; }

 private:
  HWND panel_;
  bool was_running_ = false;
  int ended_ = 0;
};

std::string AddressBookFolder() { return n2host::DataFolder() + "AddrBook\\"; }

std::string ReadFileBytes(const std::string& path) {
  std::string data;
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return data;
  char buffer[65536];
  DWORD got = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
  ::CloseHandle(file);
  return data;
}

// Rewrites a file in place, as the mail client saves a card.
bool WriteFileBytes(const std::string& path, const std::string& data) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  const bool ok = ::WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &put, nullptr) &&
                  put == data.size();
  ::CloseHandle(file);
  return ok;
}

// A card with one more line before its end.
std::string WithLine(const std::string& card, const std::string& line) {
  const size_t end = card.rfind("END:VCARD");
  if (end == std::string::npos) return card + line + "\r\n";
  return card.substr(0, end) + line + "\r\n" + card.substr(end);
}

void EditAndWait(const std::string& argument) {
  const size_t colon = argument.find(':');
  HWND dialog = FindOwnDialog();
  JobCounter jobs(dialog);
  if (!dialog || !jobs.Found() || colon == std::string::npos) {
    Print("edit: no dialog");
    return;
  }
  LoopUntil([&] { return !jobs.Running(); }, g_job_limit_ms);
  const std::string path = AddressBookFolder() + argument.substr(0, colon);
  const uint64_t began = NowMilliseconds();
  if (!WriteFileBytes(path, WithLine(ReadFileBytes(path), argument.substr(colon + 1)))) {
    Print("edit: cannot write " + path);
    return;
  }
  jobs.Step();
  if (!LoopUntil([&] { return jobs.Step(); }, g_job_limit_ms)) {
    Print("edit: no job");
    return;
  }
  Print(std::string("edit: done") +
        (g_print_times ? " " + std::to_string(began) + " " + std::to_string(NowMilliseconds()) : ""));
}

// Waits for the next job the plug-in starts by itself (the download timer's),
// and prints when it showed itself busy and when it ended.
void WaitForOwnJob(const std::string& command) {
  HWND dialog = FindOwnDialog();
  JobCounter jobs(dialog);
  if (!dialog || !jobs.Found()) {
    Print(command + ": no dialog");
    return;
  }
  if (!LoopUntil([&] { return jobs.Running(); }, 120000)) {
    Print(command + ": no job");
    return;
  }
  const uint64_t began = NowMilliseconds();
  jobs.Step();
  if (!LoopUntil([&] { return jobs.Step(); }, g_job_limit_ms)) {
    Print(command + ": timed out");
    return;
  }
  Print(command + ": done" +
        (g_print_times ? " " + std::to_string(began) + " " + std::to_string(NowMilliseconds()) : ""));
}

void CopyBook(const std::string& from, const std::string& to) {
  ::CreateDirectoryA(to.c_str(), nullptr);
  WIN32_FIND_DATAA item;
  HANDLE find = ::FindFirstFileA((from + "*").c_str(), &item);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = item.cFileName;
    if (name == "." || name == "..") continue;
    if (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      CopyBook(from + name + "\\", to + name + "\\");
    else
      ::CopyFileA((from + name).c_str(), (to + name).c_str(), FALSE);
  } while (::FindNextFileA(find, &item));
  ::FindClose(find);
}

// Wine 8 answers GetProcessHandleCount and GetGuiResources with 0 and leaves
// PrivateUsage empty; the host therefore also counts for itself: the valid
// values of the process's handle table, the used entries of its GDI handle
// table (which Wine keeps where Windows does, in the process environment
// block, though in a layout of its own), and its windows.
bool UnderWine() { return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }

int CountedHandles() {
  int count = 0;
  DWORD flags = 0;
  for (ULONG_PTR value = 4; value < 0x10000; value += 4)
    if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  return count;
}

int CountedGdiObjects() {
  if (!UnderWine()) return -1;
#pragma pack(push, 1)
  struct Entry {  // Wine's GDI_HANDLE_ENTRY
    unsigned long long object;
    unsigned owner;
    unsigned short unique;
    unsigned char type;
    unsigned char flags;
    unsigned long long user;
  };
#pragma pack(pop)
  const auto* peb = reinterpret_cast<const unsigned char*>(__readfsdword(0x30));
  const auto* table = *reinterpret_cast<const Entry* const*>(peb + 0x94);
  if (!table) return -1;
  int count = 0;
  for (int i = 0; i < 0x10000; ++i)
    if (table[i].type) ++count;
  return count;
}

BOOL CALLBACK CountChildWindow(HWND, LPARAM count) {
  ++*reinterpret_cast<int*>(count);
  return TRUE;
}

BOOL CALLBACK CountWindow(HWND window, LPARAM count) {
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  if (process != ::GetCurrentProcessId()) return TRUE;
  ++*reinterpret_cast<int*>(count);
  ::EnumChildWindows(window, &CountChildWindow, count);
  return TRUE;
}

int CountedWindows() {
  int count = 0;
  ::EnumWindows(&CountWindow, reinterpret_cast<LPARAM>(&count));
  return count;
}

void PrintResources() {
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof memory;
  ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
  // The commit charge: on Windows PrivateUsage and PagefileUsage are the same.
  const SIZE_T private_bytes = memory.PrivateUsage ? memory.PrivateUsage : memory.PagefileUsage;
  DWORD handles = 0;
  ::GetProcessHandleCount(::GetCurrentProcess(), &handles);
  Print("resources: private=" + std::to_string(private_bytes) + " handles=" + std::to_string(handles) +
        " gdi=" + std::to_string(::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS)) +
        " user=" + std::to_string(::GetGuiResources(::GetCurrentProcess(), GR_USEROBJECTS)) +
        " counted-handles=" + std::to_string(CountedHandles()) + " counted-gdi=" +
        std::to_string(CountedGdiObjects()) + " counted-windows=" + std::to_string(CountedWindows()));
}

// The card rewritten by a soak: the same size every time, so that the book
// does not grow over a long run.
std::string SoakCard(int round) {
  char note[32];
  std::snprintf(note, sizeof note, "NOTE:round %010d", round);
  return std::string("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Soak\r\n") + note + "\r\nEND:VCARD\r\n";
}

void Soak(const std::string& argument) {
  const size_t colon = argument.find(':');
  HWND dialog = FindOwnDialog();
  JobCounter jobs(dialog);
  if (!dialog || !jobs.Found() || colon == std::string::npos) {
    Print("soak: no dialog");
    return;
  }
  const int wanted = std::stoi(argument.substr(0, colon));
  const std::string card = AddressBookFolder() + argument.substr(colon + 1);
  const DWORD start = ::GetTickCount();
  const bool finished = LoopUntil(
      [&] {
        if (jobs.Step() && jobs.Ended() % 2 == 1) WriteFileBytes(card, SoakCard(jobs.Ended()));
        return jobs.Ended() >= wanted;
      },
      static_cast<DWORD>(wanted) * 20000);
  if (finished)
    Print("soak: " + std::to_string(jobs.Ended()) + " jobs in " + std::to_string(::GetTickCount() - start) + " ms");
  else
    Print("soak: timed out after " + std::to_string(jobs.Ended()) + " jobs");
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
    } else if (arg == "--job-limit" && i + 1 < argc) {
      g_job_limit_ms = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10) * 1000);
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
    } else if (command == "timer") {
      WaitForOwnJob(command);
    } else if (command == "apply") {
      if (Press(command, "Apply")) {
        PumpPending();
        Print(command + ": done");
      }
    } else if (command == "clear") {
      PressAndWait(command, "Address book is cleared on the Server");
    } else if (command == "memory") {
      PrintMemory();
    } else if (command.rfind("edit:", 0) == 0) {
      EditAndWait(command.substr(5));
    } else if (command.rfind("copybook:", 0) == 0) {
      std::string folder = command.substr(9);
      if (folder.empty() || folder.back() != '\\') folder += '\\';
      CopyBook(AddressBookFolder(), folder);
      Print("copybook: done");
    } else if (command == "resources") {
      PrintResources();
    } else if (command.rfind("soak:", 0) == 0) {
      Soak(command.substr(5));
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
