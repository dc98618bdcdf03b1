#include "base/timer.h"

#include "base/message_box.h"

namespace n2 {
namespace {

constexpr UINT_PTR kTimerId = 1;
constexpr UINT kEnableRequest = WM_APP + 1;

}  // namespace

TTimer::TTimer()
    : window_([this](UINT message, WPARAM wparam, LPARAM lparam, bool& handled) {
        return HandleMessage(message, wparam, lparam, handled);
      }) {}

TTimer::~TTimer() {
  if (running_) ::KillTimer(window_.Handle(), kTimerId);
}

void TTimer::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  Update();
}

void TTimer::SetInterval(UINT milliseconds) {
  if (milliseconds == interval_) return;
  interval_ = milliseconds;
  if (running_) {
    ::KillTimer(window_.Handle(), kTimerId);
    running_ = false;
  }
  Update();
}

void TTimer::SetOnTimer(TNotifyEvent handler) {
  on_timer_ = std::move(handler);
  Update();
}

void TTimer::RequestEnable() noexcept {
  if (!enable_requested_.exchange(true)) window_.Post(kEnableRequest);
}

// Starts or stops the system timer so that it runs exactly while the timer is
// enabled, has an interval and has a handler; a running one keeps its countdown.
void TTimer::Update() {
  bool wanted = enabled_ && interval_ != 0 && on_timer_;
  if (wanted == running_) return;
  if (wanted) {
    running_ = ::SetTimer(window_.Handle(), kTimerId, interval_, nullptr) != 0;
  } else {
    ::KillTimer(window_.Handle(), kTimerId);
    running_ = false;
  }
}

LRESULT TTimer::HandleMessage(UINT message, WPARAM wparam, LPARAM, bool& handled) {
  if (message == kEnableRequest) {
    if (enable_requested_.exchange(false)) SetEnabled(true);
    return 0;
  }
  if (message == WM_TIMER && wparam == kTimerId) {
    if (!running_) return 0;
    // A tick's error goes no further than this message: it is shown, as any
    // error of an event handler is, and the timer goes on.
    try {
      on_timer_(*this);
    } catch (const std::exception& error) {
      ShowMessageBox(error.what());
    }
    return 0;
  }
  handled = false;
  return 0;
}

}  // namespace n2
