// The data module: the plug-in's non-visual components that start jobs by
// themselves, the 10-minute download timer and the watch on the address-book
// folder, with their event handlers.
#pragma once

#include "base/timer.h"
#include "sync/folder_notification.h"

namespace n2 {

class TDmN2 {
 public:
  // TimN2 disabled with a 10-minute interval; NotifyN2 inactive, watching
  // subfolders for new, removed or renamed files and folders, sizes and
  // creation times.
  TDmN2();
  TDmN2(const TDmN2&) = delete;
  TDmN2& operator=(const TDmN2&) = delete;

  TTimer TimN2;
  TFolderNotification NotifyN2;

  // Both put the settings dialog into its busy look.
  void TimN2Timer(TTimer& sender);
  void NotifyN2DirectoryChanged(TFolderNotification& sender);
};

// Created by the first start callback and never freed while the host runs.
extern TDmN2* DmN2;

}  // namespace n2
