// The settings-file component: an in-memory copy of an INI file, a choice of
// the folder the file lives in, and a policy for when the copy is written back.
// Used on the thread that created it only.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "settings/mem_ini_file.h"

namespace n2 {

enum class TDefaultFolder { dfAppData, dfApplication, dfUser, dfWindows };

class TSettingsIni {
 public:
  using TNotifyEvent = std::function<void(TSettingsIni& sender)>;

  // Points at the executable's folder and name with ".ini", and loads that file.
  TSettingsIni();
  TSettingsIni(const TSettingsIni&) = delete;
  TSettingsIni& operator=(const TSettingsIni&) = delete;
  // Writes the file first when AutoUpdate is set; a failure there is dropped,
  // since nobody is left to report it to.
  virtual ~TSettingsIni();

  bool AutoUpdate() const noexcept { return auto_update_; }
  void SetAutoUpdate(bool value) noexcept { auto_update_ = value; }

  bool CaseSensitive() const noexcept { return store_.CaseSensitive(); }
  void SetCaseSensitive(bool value) noexcept { store_.SetCaseSensitive(value); }

  TDefaultFolder DefaultFolder() const noexcept { return default_folder_; }
  // Chooses the folder, creates it when it is missing, and reloads from it.
  void SetDefaultFolder(TDefaultFolder value);

  const std::string& FileName() const noexcept { return file_name_; }
  // Places name (or the default name when empty) after the folder and reloads.
  void SetFileName(const std::string& name);

  bool UpdateAtOnce() const noexcept { return update_at_once_; }
  void SetUpdateAtOnce(bool value) noexcept { update_at_once_ = value; }

  TNotifyEvent OnLoad;    // after a reload caused by a change of folder or name
  TNotifyEvent OnUpdate;  // after the file was written

  // The file in use: the folder followed by the file name.
  const std::string& FullPath() const noexcept { return full_path_; }

  std::string ReadValue(std::string_view section, std::string_view key, std::string_view fallback) const {
    return store_.ReadString(section, key, fallback);
  }
  // Sets the value in memory, then writes the file when UpdateAtOnce is set.
  void WriteValue(std::string_view section, std::string_view key, std::string_view value);
  // Writes the file whatever UpdateAtOnce says.
  void SaveFile();

 protected:
  virtual void NotifyUpdate();
  virtual void NotifyLoad();

 private:
  // Empties the store when the file is missing, else parses it.
  void Load();
  // Replaces the file's content through a temporary file, so that a failed
  // write leaves the previous file whole.
  void WriteFile();

  std::string app_folder_;
  std::string app_sub_folder_;
  std::string default_name_;
  std::string folder_;
  TMemIniFile store_;
  bool auto_update_ = true;
  TDefaultFolder default_folder_ = TDefaultFolder::dfApplication;
  std::string file_name_;
  std::string full_path_;
  bool update_at_once_ = false;
};

}  // namespace n2
