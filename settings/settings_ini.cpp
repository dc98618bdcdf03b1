#include "settings/settings_ini.h"

#include <windows.h>
#include <shlobj.h>

#include "base/exception.h"
#include "base/scoped_handle.h"
#include "base/win_error.h"
#include "base/win_file.h"
#include "base/system_code_page.h"
#include "settings/file_name.h"

namespace n2 {
namespace {

std::string ExecutablePath() {
  char buffer[MAX_PATH] = {};
  DWORD length = ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  return std::string(buffer, length < MAX_PATH ? length : MAX_PATH);
}

// The user's application-data folder, or "" when the shell has none.
std::string AppDataFolder() {
  LPITEMIDLIST item = nullptr;
  if (FAILED(::SHGetSpecialFolderLocation(nullptr, CSIDL_APPDATA, &item)) || !item) return std::string();
  std::string folder;
  if (auto* buffer = static_cast<char*>(::CoTaskMemAlloc(MAX_PATH))) {
    buffer[0] = '\0';
    if (::SHGetPathFromIDListA(item, buffer)) folder = buffer;
    ::CoTaskMemFree(buffer);
  }
  ::CoTaskMemFree(item);
  return folder;
}

std::string WindowsFolder() {
  char buffer[257] = {};
  UINT length = ::GetWindowsDirectoryA(buffer, sizeof buffer);
  return length < sizeof buffer ? std::string(buffer, length) : std::string();
}

// Creates folder with every missing parent; failures show up when the file is written.
void ForceFolders(const std::string& folder) {
  const LeadBytes& lead = SystemLeadBytes();
  std::string dir = ExtractFileDir(folder, lead);
  if (dir.empty() || FolderExists(dir)) return;
  std::string parent = ExtractFileDir(ExtractFilePath(dir, lead), lead);
  if (!parent.empty() && parent != dir) ForceFolders(IncludeTrailingBackslash(parent, lead));
  ::CreateDirectoryA(dir.c_str(), nullptr);
}

}  // namespace

TSettingsIni::TSettingsIni() {
  const LeadBytes& lead = SystemLeadBytes();
  std::string executable = ExecutablePath();
  std::string name = ExtractFileName(executable, lead);
  app_folder_ = ExtractFilePath(executable, lead);
  app_sub_folder_ = ChangeFileExt(name, "", lead) + "\\";
  default_name_ = ChangeFileExt(name, ".ini", lead);
  folder_ = app_folder_;
  full_path_ = folder_ + default_name_;
  // A file that cannot be read here only means an empty start; the owner
  // chooses the file it actually uses afterwards.
  try {
    Load();
  } catch (const std::exception&) {
    store_.Clear();
  }
  store_.SetCaseSensitive(false);
}

TSettingsIni::~TSettingsIni() {
  if (!auto_update_) return;
  try {
    WriteFile();
  } catch (...) {
  }
}

void TSettingsIni::SetDefaultFolder(TDefaultFolder value) {
  const LeadBytes& lead = SystemLeadBytes();
  default_folder_ = value;
  switch (value) {
    case TDefaultFolder::dfAppData: folder_ = IncludeTrailingBackslash(AppDataFolder(), lead) + app_sub_folder_; break;
    case TDefaultFolder::dfApplication: folder_ = app_folder_; break;
    case TDefaultFolder::dfUser: folder_.clear(); break;
    case TDefaultFolder::dfWindows: folder_ = IncludeTrailingBackslash(WindowsFolder(), lead); break;
  }
  full_path_ = folder_ + ExtractFileName(full_path_, lead);
  if (!ExtractFilePath(full_path_, lead).empty()) ForceFolders(ExtractFilePath(full_path_, lead));
  Load();
  NotifyLoad();
}

void TSettingsIni::SetFileName(const std::string& name) {
  file_name_ = name;
  full_path_ = folder_ + (name.empty() ? default_name_ : name);
  Load();
  NotifyLoad();
}

void TSettingsIni::WriteValue(std::string_view section, std::string_view key, std::string_view value) {
  store_.WriteString(section, key, value);
  if (update_at_once_) {
    WriteFile();
    NotifyUpdate();
  }
}

void TSettingsIni::SaveFile() {
  WriteFile();
  NotifyUpdate();
}

void TSettingsIni::NotifyUpdate() {
  if (OnUpdate) OnUpdate(*this);
}

void TSettingsIni::NotifyLoad() {
  if (OnLoad) OnLoad(*this);
}

void TSettingsIni::Load() {
  if (full_path_.empty() || !FileExists(full_path_)) {
    store_.Clear();
    return;
  }
  store_.SetText(ReadWholeFile(full_path_));
}

void TSettingsIni::WriteFile() {
  // Replacing goes through a new file and a rename, which some systems allow
  // even over a file that may not be written (read-only, or held open by
  // another program without sharing); such a file is refused first.
  if (FileExists(full_path_)) {
    if (FileAttributes(full_path_) & FILE_ATTRIBUTE_READONLY)
      throw EFCreateError("Cannot create file \"" + full_path_ + "\". " + SystemErrorText(ERROR_ACCESS_DENIED));
    ScopedHandle existing(::CreateFileA(full_path_.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!existing)
      throw EFCreateError("Cannot create file \"" + full_path_ + "\". " + SystemErrorText(::GetLastError()));
  }
  ReplaceFileContent(full_path_, store_.Text());
}

}  // namespace n2
