// The data module: the plug-in's non-visual components. The 10-minute
// download timer and the watch on the address-book folder start jobs by
// themselves; the file system and the FTP and HTTP clients are the ones the
// jobs use.
// Everything here is created on the main thread, with the module.
#pragma once

#include "base/thread_cache.h"
#include "base/timer.h"
#include "base/win_file_system.h"
#include "net/ftp_client.h"
#include "net/http_client.h"
#include "sync/folder_notification.h"
#include "sync/n2_jobs.h"
#include "sync/sync_front_end.h"

namespace n2 {

class TDmN2 {
 public:
  // TimN2 disabled with a 10-minute interval; NotifyN2 inactive, watching
  // subfolders for new, removed or renamed files and folders, sizes and
  // creation times; NetFtp direct, with a 15-second time limit, accepting
  // replies ended by LF alone; NetHttp with the plug-in's HTTP settings
  // (ConfigureNetHttp); TimAfterJob disabled.
  TDmN2();
  TDmN2(const TDmN2&) = delete;
  TDmN2& operator=(const TDmN2&) = delete;

  TTimer TimN2;
  TFolderNotification NotifyN2;
  TWinFileSystem Disk;
  TFtpClient NetFtp;
  THttpClient NetHttp;
  // Starts the upload that a change of the address book during a job asked
  // for, once that job has ended; one tick, then disabled again.
  TTimer TimAfterJob;
  // Threads the jobs run their work beside them on, kept from job to job:
  // making them anew cost each job several milliseconds under Wine. An
  // upload by hand logs in on one while it lists the book on another and
  // reads its index on a third, so three wait from the start; they wait,
  // idle, between jobs (the module is never unloaded once this exists).
  ThreadCache Threads{3};

  // The settings dialog, once it exists (its creation sets it).
  TSyncFrontEnd* FrontEnd = nullptr;
  // What the jobs started now work with.
  TJobContext JobContext();

  // All three put the settings dialog into its busy look, then start a
  // download (the timer) or an upload (a change, or one due after a job)
  // unless a job is running.
  void TimN2Timer(TTimer& sender);
  void NotifyN2DirectoryChanged(TFolderNotification& sender);
  void TimAfterJobTimer(TTimer& sender);
};

// Created by the first start callback and never freed while the host runs.
extern TDmN2* DmN2;

}  // namespace n2
