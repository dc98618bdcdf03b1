// Our stand-in for the mail client: the 55 API functions a plug-in binds by
// name, a main window with the client's menu, a message loop, and the loading
// and calling of a plug-in module as the client does it.
#pragma once

#include <windows.h>

#include <string>

namespace n2host {

// What the API functions report. The data folder always ends with a backslash.
void SetVersionText(const std::string& version);
void SetDataFolder(const std::string& folder);
const std::string& DataFolder();
// How often NVA_GetVersion has been called.
int VersionQueries();

// The main window with the client's menu bar: the submenu at position 4 has a
// submenu at position 2, where plug-ins add their items. WM_COMMAND of a
// registered command id calls the plug-in's callback.
class HostWindow {
 public:
  HostWindow();
  HostWindow(const HostWindow&) = delete;
  HostWindow& operator=(const HostWindow&) = delete;
  ~HostWindow();
  HWND Handle() const { return window_; }
  HMENU Menu() const { return ::GetMenu(window_); }
  // The submenu where plug-ins add their items.
  HMENU PluginMenu() const { return ::GetSubMenu(::GetSubMenu(Menu(), 4), 2); }

 private:
  HWND window_ = nullptr;
};

// The callback registered for a command id, or nullptr.
using CommandCallback = void(__stdcall*)(DWORD, DWORD);
CommandCallback RegisteredCommand(DWORD command_id);

// Dispatches one message as the client's loop does (dialog keys go to the
// active dialog window).
void DispatchHostMessage(MSG& msg);
// Runs the message loop until WM_QUIT; returns its exit code.
int RunMessageLoop();

// A loaded plug-in module and its exported callbacks.
class PluginModule {
 public:
  explicit PluginModule(const std::string& path);
  PluginModule(const PluginModule&) = delete;
  PluginModule& operator=(const PluginModule&) = delete;
  ~PluginModule();

  bool Loaded() const { return module_ != nullptr; }
  DWORD LoadError() const { return load_error_; }
  HMODULE Handle() const { return module_; }
  void Unload();

  // Calls an exported callback with up to four 32-bit arguments.
  int Call(const char* name, DWORD a = 0, DWORD b = 0, DWORD c = 0, DWORD d = 0) const;
  FARPROC Export(const char* name) const { return module_ ? ::GetProcAddress(module_, name) : nullptr; }

 private:
  HMODULE module_ = nullptr;
  DWORD load_error_ = 0;
};

// Number of arguments each exported callback takes.
int CallbackArgumentCount(const std::string& name);

}  // namespace n2host
