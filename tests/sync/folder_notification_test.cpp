#include "sync/folder_notification.h"

#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <set>

#include "tests/support/test_support.h"

namespace n2 {
namespace {

using n2test::PumpMessagesUntil;
using n2test::TempFolder;
using n2test::WriteFileBytes;

// Time given to an event that must not come.
constexpr DWORD kQuietMs = 300;

std::set<DWORD> ThreadsOfThisProcess() {
  std::set<DWORD> ids;
  n2::ScopedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Thread32First(snapshot.Get(), &entry); more; more = ::Thread32Next(snapshot.Get(), &entry)) {
    if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ids.insert(entry.th32ThreadID);
  }
  return ids;
}

std::set<DWORD> NewThreads(const std::set<DWORD>& before) {
  std::set<DWORD> added;
  for (DWORD id : ThreadsOfThisProcess())
    if (!before.count(id)) added.insert(id);
  return added;
}

// A watcher set up as the address-book watcher is, counting its events.
struct Watch {
  explicit Watch(const std::string& folder) {
    notify.Subtree = true;
    notify.NotificationType = {noFilename, noDirname, noSize, noCreation};
    notify.Directory = folder;
    notify.OnDirectoryChanged = [this](TFolderNotification& sender) {
      EXPECT_EQ(&sender, &notify);
      EXPECT_EQ(::GetCurrentThreadId(), main_thread);
      ++events;
    };
  }
  bool WaitForEvents(int count) { return PumpMessagesUntil([&] { return events >= count; }); }
  // Gives an unexpected event the chance to come; returns the count then.
  int EventsAfterQuiet() {
    PumpMessagesUntil([] { return false; }, kQuietMs);
    return events;
  }

  DWORD main_thread = ::GetCurrentThreadId();
  int events = 0;
  TFolderNotification notify;
};

TEST(FolderNotification, StartsInactiveWithOneTenMillisecondTimer) {
  TFolderNotification notify;
  EXPECT_FALSE(notify.Active());
  EXPECT_FALSE(notify.Subtree);
  EXPECT_TRUE(notify.Directory.empty());
  EXPECT_EQ(notify.NotificationType, TNotifyOptions{noLastWrite});
  EXPECT_FALSE(notify.NotifyTimer().Enabled());
  EXPECT_EQ(notify.NotifyTimer().Interval(), 10u);
  EXPECT_EQ((TNotifyOptions{noFilename, noDirname, noSize, noCreation}.Filter()), 0x4Bu);
  notify.Deactivate();
  EXPECT_FALSE(notify.Active());
}

TEST(FolderNotification, ABurstOfChangesRaisesOneEventAndALaterChangeAnother) {
  TempFolder folder;
  Watch watch(folder.Path());
  watch.notify.Activate();
  for (int i = 0; i < 10; ++i) WriteFileBytes(folder / ("f" + std::to_string(i) + ".txt"), "x");
  ASSERT_TRUE(watch.WaitForEvents(1));
  EXPECT_EQ(watch.EventsAfterQuiet(), 1);

  WriteFileBytes(folder / "later.txt", "y");
  ASSERT_TRUE(watch.WaitForEvents(2));
  EXPECT_EQ(watch.EventsAfterQuiet(), 2);
}

TEST(FolderNotification, AddressBookFilterIgnoresLastWriteTimesButNotNamesOrSizes) {
  TempFolder folder;
  WriteFileBytes(folder / "a.txt", "abc");
  Watch watch(folder.Path());
  watch.notify.Activate();

  {
    ScopedHandle file(::CreateFileA((folder / "a.txt").c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    FILETIME time{0x12345678u, 0x01D00000u};
    ASSERT_TRUE(::SetFileTime(file.Get(), nullptr, nullptr, &time));
  }
  if (n2test::IsWine()) {
    // Wine 8 signals a change of a file's times whatever the filter asks for.
    watch.EventsAfterQuiet();
    watch.events = 0;
  } else {
    EXPECT_EQ(watch.EventsAfterQuiet(), 0) << "touching the last-write time";
  }

  WriteFileBytes(folder / "b.txt", "new");
  ASSERT_TRUE(watch.WaitForEvents(1)) << "creating";
  watch.EventsAfterQuiet();
  int seen = watch.events;

  WriteFileBytes(folder / "a.txt", "abcdef");
  ASSERT_TRUE(watch.WaitForEvents(seen + 1)) << "resizing";
  seen = watch.EventsAfterQuiet();

  ASSERT_TRUE(::MoveFileA((folder / "b.txt").c_str(), (folder / "c.txt").c_str()));
  ASSERT_TRUE(watch.WaitForEvents(seen + 1)) << "renaming";
  seen = watch.EventsAfterQuiet();

  ASSERT_TRUE(::DeleteFileA((folder / "c.txt").c_str()));
  ASSERT_TRUE(watch.WaitForEvents(seen + 1)) << "deleting";
}

TEST(FolderNotification, ActivateTwiceRunsOneThreadAndDeactivateEndsIt) {
  TempFolder folder;
  Watch watch(folder.Path());
  std::set<DWORD> before = ThreadsOfThisProcess();
  watch.notify.Activate();
  watch.notify.Activate();
  EXPECT_TRUE(watch.notify.Active());
  EXPECT_EQ(NewThreads(before).size(), 1u);

  WriteFileBytes(folder / "one.txt", "1");
  ASSERT_TRUE(watch.WaitForEvents(1));
  EXPECT_EQ(watch.EventsAfterQuiet(), 1);

  watch.notify.Deactivate();
  EXPECT_FALSE(watch.notify.Active());
  EXPECT_TRUE(NewThreads(before).empty());
  WriteFileBytes(folder / "two.txt", "2");
  EXPECT_EQ(watch.EventsAfterQuiet(), 1);
}

TEST(FolderNotification, NoEventFollowsDeactivateForAChangeNotYetHandedToTheTimer) {
  TempFolder folder;
  Watch watch(folder.Path());
  watch.notify.Activate();
  WriteFileBytes(folder / "one.txt", "1");
  // The watcher has seen the change once its request to start the timer is queued.
  DWORD deadline = ::GetTickCount() + 10000;
  while (!(::GetQueueStatus(QS_POSTMESSAGE) >> 16 & QS_POSTMESSAGE) && ::GetTickCount() < deadline)
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_POSTMESSAGE);
  watch.notify.Deactivate();
  EXPECT_EQ(watch.EventsAfterQuiet(), 0);
  EXPECT_FALSE(watch.notify.NotifyTimer().Enabled());
}

TEST(FolderNotification, ATickAlreadyPendingAtDeactivateStillRaisesItsEvent) {
  TempFolder folder;
  Watch watch(folder.Path());
  watch.notify.Activate();
  WriteFileBytes(folder / "one.txt", "1");
  ASSERT_TRUE(PumpMessagesUntil([&] { return watch.notify.NotifyTimer().Enabled() || watch.events > 0; }));
  watch.notify.Deactivate();
  ASSERT_TRUE(watch.WaitForEvents(1));
  EXPECT_EQ(watch.EventsAfterQuiet(), 1);
}

TEST(FolderNotification, AFolderThatDoesNotExistRaisesNothingAndReportsNothing) {
  TempFolder folder;
  Watch watch(folder / "missing");
  EXPECT_NO_THROW(watch.notify.Activate());
  EXPECT_TRUE(watch.notify.Active());
  ASSERT_TRUE(::CreateDirectoryA((folder / "missing").c_str(), nullptr));
  WriteFileBytes(folder / "missing\\late.txt", "x");
  EXPECT_EQ(watch.EventsAfterQuiet(), 0);
  // The watcher ended at once; a further Activate leaves the component as it is.
  watch.notify.Activate();
  WriteFileBytes(folder / "missing\\later.txt", "x");
  EXPECT_EQ(watch.EventsAfterQuiet(), 0);
  watch.notify.Deactivate();
  watch.notify.Activate();
  WriteFileBytes(folder / "missing\\last.txt", "x");
  EXPECT_TRUE(watch.WaitForEvents(1));
}

TEST(FolderNotification, ANewDirectoryTakesEffectAtTheNextActivate) {
  TempFolder first, second;
  Watch watch(first.Path());
  watch.notify.Activate();
  watch.notify.Directory = second.Path();
  WriteFileBytes(second / "x.txt", "x");
  EXPECT_EQ(watch.EventsAfterQuiet(), 0);
  WriteFileBytes(first / "x.txt", "x");
  ASSERT_TRUE(watch.WaitForEvents(1));
  watch.EventsAfterQuiet();

  watch.notify.Deactivate();
  watch.notify.Activate();
  WriteFileBytes(second / "y.txt", "y");
  ASSERT_TRUE(watch.WaitForEvents(2));
}

TEST(FolderNotification, AQuietFolderCostsTheWatcherNoProcessorTime) {
  TempFolder folder;
  Watch watch(folder.Path());
  std::set<DWORD> before = ThreadsOfThisProcess();
  watch.notify.Activate();
  std::set<DWORD> added = NewThreads(before);
  ASSERT_EQ(added.size(), 1u);
  ScopedHandle thread(::OpenThread(THREAD_QUERY_INFORMATION, FALSE, *added.begin()));
  ASSERT_TRUE(thread);
  PumpMessagesUntil([] { return false; }, 1000);
  FILETIME created, ended, kernel, user;
  ASSERT_TRUE(::GetThreadTimes(thread.Get(), &created, &ended, &kernel, &user));
  ULONGLONG used = (ULONGLONG{kernel.dwHighDateTime} << 32 | kernel.dwLowDateTime) +
                   (ULONGLONG{user.dwHighDateTime} << 32 | user.dwLowDateTime);
  // In 100 ns units: a watcher that polled would have used far more than 20 ms in a second.
  EXPECT_LT(used, 200000u);
  EXPECT_EQ(watch.events, 0);
}

TEST(FolderNotification, ChangesInSubfoldersCountOnlyWithSubtree) {
  if (n2test::IsWine()) GTEST_SKIP() << "Wine 8 signals no change notifications for subfolders";
  TempFolder folder;
  ASSERT_TRUE(::CreateDirectoryA((folder / "sub").c_str(), nullptr));
  Watch watch(folder.Path());
  watch.notify.Activate();
  WriteFileBytes(folder / "sub\\a.txt", "a");
  ASSERT_TRUE(watch.WaitForEvents(1));
  watch.notify.Deactivate();
  watch.EventsAfterQuiet();
  int seen = watch.events;
  watch.notify.Subtree = false;
  watch.notify.Activate();
  WriteFileBytes(folder / "sub\\b.txt", "b");
  EXPECT_EQ(watch.EventsAfterQuiet(), seen);
}


}  // namespace
}  // namespace n2
