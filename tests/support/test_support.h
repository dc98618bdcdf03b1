// Helpers shared by the Windows tests: fresh folders, message pumping, child
// processes, and a sandbox in which the plug-in runs with its own settings file.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace n2test {

// A fresh folder below the system's temporary folder, removed with all it holds.
class TempFolder {
 public:
  TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder();
  // Full path, ending with a backslash.
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

// Folder of the running executable (where the build puts every binary), ending with a backslash.
std::string ExecutableFolder();

// True when running under Wine.
bool IsWine();

// Dispatches this thread's messages until done() is true or the time is up;
// returns done(). Waits for messages, never spins.
bool PumpMessagesUntil(const std::function<bool()>& done, DWORD milliseconds = 10000);

struct ProcessResult {
  DWORD exit_code = 0;
  std::string output;  // standard output and standard error together
  bool timed_out = false;
};
// Runs a command line with its output captured; a process that outlives the time is killed.
ProcessResult RunProcess(const std::string& command_line, DWORD milliseconds = 60000);

void WriteFileBytes(const std::string& path, const std::string& data);
std::string ReadFileBytes(const std::string& path);
bool PathExists(const std::string& path);
void RemoveTree(const std::string& path);

// A copy of the plug-in module in a folder of its own, with its own settings
// file beside it and a data folder for the host.
class PluginSandbox {
 public:
  PluginSandbox();
  std::string ModulePath() const { return folder_ / "N2VelmEn.dll"; }
  std::string SettingsPath() const { return folder_ / "N2VelmEn.ini"; }
  // The host's data folder, ending with a backslash.
  std::string DataFolder() const { return folder_ / "Data\\"; }
  void WriteSettings(const std::string& text) const { WriteFileBytes(SettingsPath(), text); }
  const TempFolder& Folder() const { return folder_; }

 private:
  TempFolder folder_;
};

// Runs our host with the given arguments (see host/main.cpp) and returns its output.
ProcessResult RunHost(const std::string& host_exe, const std::string& arguments, DWORD milliseconds = 60000);

}  // namespace n2test
