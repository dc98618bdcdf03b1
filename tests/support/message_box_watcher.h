// Captures the message boxes that this process shows and presses OK on each,
// so that tests can check their exact text without anybody at the screen.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace n2test {

class MessageBoxWatcher {
 public:
  // Watches message boxes whose caption is the given text (the plug-in's own by
  // default); an empty caption watches every dialog box of the process.
  explicit MessageBoxWatcher(std::string caption = "Norvel2! Velmora");
  MessageBoxWatcher(const MessageBoxWatcher&) = delete;
  MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;
  ~MessageBoxWatcher();

  // Waits for the next box not yet returned and gives its text; nothing on timeout.
  std::optional<std::string> WaitForBox(DWORD milliseconds = 10000);
  // Every text captured so far, in order.
  std::vector<std::string> Texts() const;

 private:
  void Run();
  void ScanOnce();
  static BOOL CALLBACK EnumProc(HWND window, LPARAM self);
  void Inspect(HWND window);

  std::string caption_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> texts_;
  std::deque<std::string> unread_;
  std::set<HWND> answered_;
  std::set<HWND> seen_this_scan_;
  bool stop_ = false;
  std::thread thread_;
};

// The text of a message box window (its static text control).
std::string MessageBoxText(HWND box);

}  // namespace n2test
