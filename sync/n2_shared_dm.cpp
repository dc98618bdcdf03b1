#include "sync/n2_shared_dm.h"

#include <windows.h>

#include <cstdlib>

#include "settings/n2_shared_main.h"
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

void ShowDialogBusy() {
  if (!FrmN2Shared) return;
  FrmN2Shared->SetDialogEnabled(false);
  FrmN2Shared->PnlSyori1.Show();
  FrmN2Shared->PnlSyori2.Show();
}

}  // namespace

TDmN2::TDmN2() {
  TimN2.SetEnabled(false);
  TimN2.SetInterval(DownloadInterval());
  TimN2.SetOnTimer([this](TTimer& sender) { TimN2Timer(sender); });
  NotifyN2.Subtree = true;
  NotifyN2.NotificationType = {noFilename, noDirname, noSize, noCreation};
  NotifyN2.OnDirectoryChanged = [this](TFolderNotification& sender) { NotifyN2DirectoryChanged(sender); };

  ZipN2.SaveMethod = TZipSaveMethod::FastSave;
  ZipN2.StoreRelativePath = true;
  ZipN2.StoreFolders = true;
  ZipN2.SetCompressionType(TZipCompressionType::ctMaximum);
  ZipN2.UseTempFiles = false;
  ZipN2.OverwriteAction = TOverwriteAction::oaOverwriteAll;
  ZipN2.ApplyAtributes = true;

  NetFtp.SetTimeout(15);
  NetFtp.SetOptions(ftpAcceptLF);
  NetFtp.SetConnectionType(ftpDirect);

  ConfigureNetHttp(NetHttp);
}

void TDmN2::TimN2Timer(TTimer&) {
  ShowDialogBusy();
  StartJob(jkFtpDownload, jkHttpDownload, TJobStart::jsAutomatic);
}

void TDmN2::NotifyN2DirectoryChanged(TFolderNotification&) {
  ShowDialogBusy();
  StartJob(jkFtpUpload, jkHttpUpload, TJobStart::jsAutomatic);
}

}  // namespace n2
