// Lets a worker thread run code on the plug-in's main thread (the host's main
// thread) and wait for it. Requests queue up; the main thread works them off in
// ProcessPendingCalls. The host owns the message loop and never calls that, so
// TSyncHelper keeps a hidden window on the main thread and posts it a message
// for every request: the host's own loop, dispatching it, runs the queue.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

#include "base/hidden_window.h"

namespace n2 {

// Runs method on the main thread and returns when it has run; an exception it
// raised is raised again here. Called on the main thread, runs it at once.
void RunOnMainThread(const std::function<void()>& method);

// Main thread only: runs every pending request, returns true if any ran. With a
// timeout above 0 it first waits up to that long for a request to arrive.
// Raises an error when called on any other thread, and runs nothing.
bool ProcessPendingCalls(DWORD timeout);

// The thread that loaded the module.
DWORD MainThreadId();

// Called with the requesting thread's id whenever a request is queued, while
// the queue lock is held. Empty unless a TSyncHelper has installed itself.
using WakeHook = std::function<void(DWORD requesting_thread)>;
void SetMainThreadWakeHook(WakeHook hook);
bool MainThreadWakeHookIsSet();

class TSyncHelper {
 public:
  // Creates the hidden window on the calling thread and installs WakeUp as
  // the wake hook, replacing any hook installed before.
  TSyncHelper();
  TSyncHelper(const TSyncHelper&) = delete;
  TSyncHelper& operator=(const TSyncHelper&) = delete;
  // Clears the wake hook (no earlier hook is restored), then destroys the window.
  ~TSyncHelper();

  // Posts the wake-up message to the hidden window; returns at once.
  void WakeUp(DWORD requesting_thread);
  HWND Handle() const { return window_->Handle(); }

  static constexpr UINT kWakeMessage = WM_USER;

 private:
  LRESULT WndProc(UINT message, WPARAM wparam, LPARAM lparam, bool& handled);

  std::unique_ptr<HiddenWindow> window_;
};

// The plug-in-wide synchronizer, created when the module is loaded.
extern TSyncHelper* SyncHelper;

}  // namespace n2
