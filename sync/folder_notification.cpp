#include "sync/folder_notification.h"

namespace n2 {

TDirThread::TDirThread(std::string folder, bool subtree, DWORD filter, TTimer& timer)
    : FFolder(std::move(folder)), subtree_(subtree), FFilter(filter), timer_(timer), thread_([this] { Run(); }) {
  opened_.Wait();
}

TDirThread::~TDirThread() {
  FStopEvent.Set();
  if (thread_.joinable()) thread_.join();
}

void TDirThread::Run() {
  ScopedChangeNotification change(::FindFirstChangeNotificationA(FFolder.c_str(), subtree_, FFilter));
  opened_.Set();
  if (!change) return;
  const HANDLE waits[2] = {FStopEvent.Get(), change.Get()};
  for (;;) {
    DWORD result = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (result != WAIT_OBJECT_0 + 1) break;
    timer_.RequestEnable();
    if (!::FindNextChangeNotification(change.Get())) break;
  }
}

TFolderNotification::TFolderNotification() {
  notify_timer_.SetEnabled(false);
  notify_timer_.SetInterval(10);
  notify_timer_.SetOnTimer([this](TTimer& sender) { NotifyTimerTick(sender); });
}

TFolderNotification::~TFolderNotification() { Deactivate(); }

void TFolderNotification::Activate() {
  if (FActive) return;
  watcher_ = std::make_unique<TDirThread>(Directory, Subtree, NotificationType.Filter(), notify_timer_);
  FActive = true;
}

void TFolderNotification::Deactivate() {
  if (!FActive) return;
  watcher_.reset();
  notify_timer_.CancelEnableRequests();
  FActive = false;
}

void TFolderNotification::NotifyTimerTick(TTimer& sender) {
  sender.SetEnabled(false);
  if (OnDirectoryChanged) OnDirectoryChanged(*this);
}

}  // namespace n2
