#include "sync/n2_shared_dm.h"

#include "settings/n2_shared_main.h"
#include "sync/n2_shared_thread.h"

namespace n2 {

TDmN2* DmN2 = nullptr;

namespace {

void ShowDialogBusy() {
  if (!FrmN2Shared) return;
  FrmN2Shared->SetDialogEnabled(false);
  FrmN2Shared->PnlSyori1.Show();
  FrmN2Shared->PnlSyori2.Show();
}

}  // namespace

TDmN2::TDmN2() {
  TimN2.SetEnabled(false);
  TimN2.SetInterval(600000);
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
