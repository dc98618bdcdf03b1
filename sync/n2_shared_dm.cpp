#include "sync/n2_shared_dm.h"

#include "settings/n2_shared_main.h"

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
}

void TDmN2::TimN2Timer(TTimer&) { ShowDialogBusy(); }

void TDmN2::NotifyN2DirectoryChanged(TFolderNotification&) { ShowDialogBusy(); }

}  // namespace n2
