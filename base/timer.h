// A timer whose ticks run on the thread that created it, from that thread's
// message loop (the host's, for the plug-in). It ticks every Interval
// milliseconds while it is enabled and has a handler.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>

#include "base/hidden_window.h"

namespace n2 {

class TTimer {
 public:
  using TNotifyEvent = std::function<void(TTimer& sender)>;

  // Enabled, interval 1000 ms, no handler.
  TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;
  ~TTimer();

  // The setters run on the owner thread only.
  bool Enabled() const noexcept { return enabled_; }
  // Enabling an enabled timer changes nothing: its countdown goes on.
  void SetEnabled(bool value);
  UINT Interval() const noexcept { return interval_; }
  // A new interval restarts the countdown of an enabled timer.
  void SetInterval(UINT milliseconds);
  const TNotifyEvent& OnTimer() const noexcept { return on_timer_; }
  void SetOnTimer(TNotifyEvent handler);

  // May be called from any thread: the timer is enabled by its owner thread
  // the next time that thread handles its messages. Requests made before then
  // cost one posted message.
  void RequestEnable() noexcept;
  // Owner thread: drops the requests not yet handled.
  void CancelEnableRequests() noexcept { enable_requested_.store(false); }

 private:
  LRESULT HandleMessage(UINT message, WPARAM wparam, LPARAM lparam, bool& handled);
  void Update();

  bool enabled_ = true;
  UINT interval_ = 1000;
  TNotifyEvent on_timer_;
  bool running_ = false;
  // Shared with other threads: set by RequestEnable while a request message is
  // on its way, cleared by the owner thread when it handles or cancels it.
  std::atomic<bool> enable_requested_{false};
  HiddenWindow window_;
};

}  // namespace n2
