// Watches a folder, optionally with its subfolders, and raises
// OnDirectoryChanged on the owner thread after something in it has changed.
// A watcher thread blocks on the system's change notification and, when a
// change arrives, asks the component's 10 ms NotifyTimer to start; the tick,
// on the owner thread, raises the event. A burst of changes before the tick
// raises one event.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>

#include "base/scoped_handle.h"
#include "base/timer.h"

namespace n2 {

// Kinds of change; each stands for the filter bit 2 to the power of its ordinal.
enum TNotifyOption : uint8_t {
  noFilename,    // a file is created, deleted or renamed
  noDirname,     // a folder is created, deleted or renamed
  noAttributes,  // attributes change
  noSize,        // a file's size changes
  noLastWrite,   // a file's last-write time changes
  noLastAccess,  // a file's last-access time changes
  noCreation,    // a file's creation time changes
};

class TNotifyOptions {
 public:
  constexpr TNotifyOptions() = default;
  constexpr TNotifyOptions(std::initializer_list<TNotifyOption> options) {
    for (TNotifyOption option : options) bits_ = static_cast<uint8_t>(bits_ | (1u << option));
  }
  constexpr bool Contains(TNotifyOption option) const noexcept { return (bits_ >> option) & 1u; }
  // The change-notification filter: the sum of the options' bits.
  constexpr DWORD Filter() const noexcept { return bits_ & 0x7Fu; }
  constexpr bool operator==(const TNotifyOptions&) const = default;

 private:
  uint8_t bits_ = 0;
};

// The watcher thread: it runs from construction until destruction, or until
// the folder cannot be watched any more, and only ever starts its timer.
class TDirThread {
 public:
  // Returns once the thread has opened its watch (or failed to), so that every
  // change made after construction is seen.
  TDirThread(std::string folder, bool subtree, DWORD filter, TTimer& timer);
  TDirThread(const TDirThread&) = delete;
  TDirThread& operator=(const TDirThread&) = delete;
  // Wakes the thread and returns once it has ended.
  ~TDirThread();

 private:
  void Run();

  std::string FFolder;
  Event FStopEvent = Event::AutoReset();
  Event opened_ = Event::ManualReset();  // set by the thread once its watch is open or has failed
  bool subtree_;
  DWORD FFilter;
  TTimer& timer_;
  std::thread thread_;  // last: starts once everything above is in place
};

class TFolderNotification {
 public:
  using TNotifyEvent = std::function<void(TFolderNotification& sender)>;

  // Inactive, no folder, no subfolders, watching last-write times.
  TFolderNotification();
  TFolderNotification(const TFolderNotification&) = delete;
  TFolderNotification& operator=(const TFolderNotification&) = delete;
  ~TFolderNotification();

  // Read by Activate only: changes while active take effect at the next Activate.
  TNotifyEvent OnDirectoryChanged;
  bool Subtree = false;
  std::string Directory;
  TNotifyOptions NotificationType{noLastWrite};

  // Starts a watcher unless one was started already. A folder that cannot be
  // watched raises no events and reports nothing; the component stays active.
  void Activate();
  // Ends the watcher and returns once its thread has ended. No event follows
  // unless the timer had already been started.
  void Deactivate();
  bool Active() const noexcept { return FActive; }

  TTimer& NotifyTimer() noexcept { return notify_timer_; }

 private:
  void NotifyTimerTick(TTimer& sender);

  bool FActive = false;
  std::unique_ptr<TDirThread> watcher_;
  TTimer notify_timer_;
};

}  // namespace n2
