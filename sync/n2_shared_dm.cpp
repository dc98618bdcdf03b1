#include "sync/n2_shared_dm.h"

#include <windows.h>

#include <cstdlib>

#include "plugin/plugin_state.h"
#include "sync/n2_shared_thread.h"

namespace n2 {

TDmN2* DmN2 = nullptr;

namespace {

// The download interval: 10 minutes. Long runs of the plug-in (bench/) need
// thousands of timer downloads in minutes, so a test may shorten it through
// this environment variable; no installation sets it.
constexpr char kTestIntervalVariable[] = "N2VELMEN_TEST_DOWNLOAD_INTERVAL_MS";

UINT DownloadInterval() {
  char text[16] = {};
  const DWORD length = ::GetEnvironmentVariableA(kTestIntervalVariable, text, sizeof text);
  if (length == 0 || length >= sizeof text) return 600000;
  const unsigned long milliseconds = std::strtoul(text, nullptr, 10);
  return milliseconds > 0 && milliseconds < 600000 ? static_cast<UINT>(milliseconds) : 600000;
}

}  // namespace

TDmN2::TDmN2() {
  TimN2.SetEnabled(false);
  TimN2.SetInterval(DownloadInterval());
  TimN2.SetOnTimer([this](TTimer& sender) { TimN2Timer(sender); });
  NotifyN2.Subtree = true;
  NotifyN2.NotificationType = {noFilename, noDirname, noSize, noCreation};
  NotifyN2.OnDirectoryChanged = [this](TFolderNotification& sender) { NotifyN2DirectoryChanged(sender); };
  TimAfterJob.SetEnabled(false);
  TimAfterJob.SetInterval(10);
  TimAfterJob.SetOnTimer([this](TTimer& sender) { TimAfterJobTimer(sender); });

  NetFtp.SetTimeout(15);
  NetFtp.SetOptions(ftpAcceptLF);
  NetFtp.SetConnectionType(ftpDirect);

  ConfigureNetHttp(NetHttp);
}

TJobContext TDmN2::JobContext() { return TJobContext{&Disk, &NetFtp, &NetHttp, FrontEnd, DataFolder, &Threads}; }

// Each job starts before the busy panels are shown: it works meanwhile, and
// its end is handled on this thread, after the panels are up.
void TDmN2::TimN2Timer(TTimer&) {
  StartJob(JobContext(), jkFtpDownload, jkHttpDownload, TJobTrigger::kTimer);
  if (FrontEnd) FrontEnd->ShowBusy();
}

void TDmN2::NotifyN2DirectoryChanged(TFolderNotification&) {
  // A change while a job runs is not dropped: the upload follows the job.
  const bool started = StartJob(JobContext(), jkFtpUpload, jkHttpUpload, TJobTrigger::kChange);
  if (FrontEnd) FrontEnd->ShowBusy();
  if (!started) UploadPending = true;
}

void TDmN2::TimAfterJobTimer(TTimer&) {
  TimAfterJob.SetEnabled(false);
  if (!FrontEnd || !(UploadNeeded || (UploadPending && FrontEnd->UploadOnChange()))) return;
  const bool started = StartJob(JobContext(), jkFtpUpload, jkHttpUpload, TJobTrigger::kChange);
  FrontEnd->ShowBusy();
  if (started) UploadPending = UploadNeeded = false;
}

}  // namespace n2
