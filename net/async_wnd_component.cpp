#include "net/async_wnd_component.h"

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <string>

#include "base/hidden_window.h"

namespace n2 {

namespace {

constexpr UINT kFirstMessage = WM_USER + 1;   // 1025
constexpr UINT kLastRangeStart = 65434;       // a range starting above this wraps to kFirstMessage
constexpr UINT kRangeSize = 100;
// A new component joins a window only when this many numbers are still free
// there, so that it can take all the numbers it needs on the same window.
constexpr UINT kFreeForNewComponent = 16;

}  // namespace

// One hidden window of a thread and the block of message numbers it serves.
struct PooledWindow {
  DWORD thread_id = 0;
  UINT first = 0;      // message number of entry 0
  UINT used = 0;       // entries taken
  UINT next = 0;       // where the search for a free entry starts
  std::array<TAsyncWndComponent*, kRangeSize> owners{};
  std::array<TAsyncWndComponent::MsgSlot, kRangeSize> slots{};
  std::unique_ptr<HiddenWindow> window;
};

// The hidden windows of all threads. The lock guards the list and the tables
// of every window; it is never held while a component handles a message.
class HiddenWindowPool {
 public:
  static HiddenWindowPool& Instance() {
    static HiddenWindowPool pool;
    return pool;
  }

  // A window of the calling thread with room for a new component.
  PooledWindow* WindowForNewComponent() {
    const DWORD thread = ::GetCurrentThreadId();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // Unused windows whose thread has ended (and took the window with it) are
      // dropped from the list. Their few bytes are left behind on purpose: the
      // handle of a destroyed window must not be touched again.
      for (auto it = windows_.begin(); it != windows_.end();) {
        if ((*it)->used == 0 && !::IsWindow((*it)->window->Handle())) {
          (void)it->release();
          it = windows_.erase(it);
        } else {
          ++it;
        }
      }
      for (auto& window : windows_)
        if (window->thread_id == thread && kRangeSize - window->used >= kFreeForNewComponent &&
            ::IsWindow(window->window->Handle()))
          return window.get();
    }
    auto window = std::make_unique<PooledWindow>();
    window->thread_id = thread;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      window->first = next_first_;
      next_first_ += kRangeSize;
      if (next_first_ > kLastRangeStart) next_first_ = kFirstMessage;
    }
    // Created outside the lock: creating a window sends it messages.
    PooledWindow* raw = window.get();
    window->window = std::make_unique<HiddenWindow>(
        [raw](UINT message, WPARAM wparam, LPARAM lparam, bool& handled) -> LRESULT {
          return Instance().Handle(raw, message, wparam, lparam, handled);
        });
    std::lock_guard<std::mutex> lock(mutex_);
    windows_.push_back(std::move(window));
    return raw;
  }

  // Takes a free message number on the window for (component, slot).
  UINT Take(PooledWindow* window, TAsyncWndComponent* component, TAsyncWndComponent::MsgSlot slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (UINT i = 0; i < kRangeSize; ++i) {
      UINT index = (window->next + i) % kRangeSize;
      if (window->owners[index]) continue;
      window->owners[index] = component;
      window->slots[index] = slot;
      ++window->used;
      window->next = (index + 1) % kRangeSize;  // freed numbers are reused last
      return window->first + index;
    }
    throw Exception("No more free message");
  }

  // Gives a message number back; the window goes with its last number when
  // this is its own thread (a window can only be destroyed there).
  void Give(PooledWindow* window, UINT message) {
    std::unique_ptr<PooledWindow> doomed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (message < window->first || message >= window->first + kRangeSize) throw Exception("Msg value out of bound");
      UINT index = message - window->first;
      if (!window->owners[index]) throw Exception("Msg not registered");
      window->owners[index] = nullptr;
      --window->used;
      if (window->used == 0 && window->thread_id == ::GetCurrentThreadId()) {
        auto it = std::find_if(windows_.begin(), windows_.end(), [window](auto& w) { return w.get() == window; });
        doomed = std::move(*it);
        windows_.erase(it);
      }
    }
    // doomed is destroyed here, outside the lock.
  }

 private:
  LRESULT Handle(PooledWindow* window, UINT message, WPARAM wparam, LPARAM lparam, bool& handled) {
    TAsyncWndComponent* component = nullptr;
    TAsyncWndComponent::MsgSlot slot = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (message >= window->first && message < window->first + kRangeSize) {
        component = window->owners[message - window->first];
        slot = window->slots[message - window->first];
      }
    }
    if (!component) {
      // Not ours, or a number given back while its message was queued (dropped).
      handled = message >= window->first && message < window->first + kRangeSize;
      return 0;
    }
    component->Dispatch(slot, wparam, lparam);
    return 0;
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<PooledWindow>> windows_;
  UINT next_first_ = kFirstMessage;
};

namespace {

// A call carried to the owner thread by RunOnOwnerThread.
struct OwnerThreadCall {
  const std::function<void()>* fn = nullptr;
  std::exception_ptr error;
  bool ran = false;
};

}  // namespace

TAsyncWndComponent::TAsyncWndComponent() : thread_id_(::GetCurrentThreadId()) {
  window_ = HiddenWindowPool::Instance().WindowForNewComponent();
  run_slot_ = AllocateMsg();
}

TAsyncWndComponent::~TAsyncWndComponent() { ReleaseNumbers(); }

HWND TAsyncWndComponent::Handle() const noexcept { return window_ ? window_->window->Handle() : nullptr; }

TAsyncWndComponent::MsgSlot TAsyncWndComponent::AllocateMsg() {
  MsgSlot slot = static_cast<MsgSlot>(numbers_.size());
  UINT number = window_ ? HiddenWindowPool::Instance().Take(window_, this, slot) : 0;
  numbers_.push_back(number);
  return slot;
}

UINT TAsyncWndComponent::MsgNumber(MsgSlot slot) const {
  if (slot >= numbers_.size()) throw Exception("MsgLow not defined");
  return numbers_[slot];
}

bool TAsyncWndComponent::PostMsg(MsgSlot slot, WPARAM wparam, LPARAM lparam) const noexcept {
  if (!window_ || slot >= numbers_.size()) return false;
  return ::PostMessageA(window_->window->Handle(), numbers_[slot], wparam, lparam) != FALSE;
}

void TAsyncWndComponent::MessagePump() {
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      terminated_ = true;
      ::PostQuitMessage(static_cast<int>(msg.wParam));  // for the thread's own loop
      return;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
}

void TAsyncWndComponent::RunOnOwnerThread(const std::function<void()>& fn) {
  if (IsOwnerThread()) {
    fn();
    return;
  }
  OwnerThreadCall call;
  call.fn = &fn;
  if (window_) ::SendMessageA(window_->window->Handle(), numbers_[run_slot_], 0, reinterpret_cast<LPARAM>(&call));
  if (!call.ran) throw Exception("The thread that owns the component does not handle messages");
  if (call.error) std::rethrow_exception(call.error);
}

void TAsyncWndComponent::Dispatch(MsgSlot slot, WPARAM wparam, LPARAM lparam) noexcept {
  if (slot == run_slot_) {
    auto* call = reinterpret_cast<OwnerThreadCall*>(lparam);
    call->ran = true;
    try {
      (*call->fn)();
    } catch (...) {
      call->error = std::current_exception();
    }
    return;
  }
  try {
    try {
      HandleMessage(slot, wparam, lparam);
    } catch (const std::exception& error) {
      HandleBackgroundException(error);
    } catch (...) {
      HandleBackgroundException(Exception("Unknown exception"));
    }
  } catch (...) {
    // Nothing leaves the window procedure.
  }
}

void TAsyncWndComponent::HandleBackgroundException(const std::exception&) {}

void TAsyncWndComponent::ReleaseNumbers() noexcept {
  if (!window_) return;
  for (UINT number : numbers_) {
    try {
      HiddenWindowPool::Instance().Give(window_, number);
    } catch (...) {
    }
  }
  window_ = nullptr;
}

void TAsyncWndComponent::TakeNumbers() {
  window_ = HiddenWindowPool::Instance().WindowForNewComponent();
  for (MsgSlot slot = 0; slot < numbers_.size(); ++slot)
    numbers_[slot] = HiddenWindowPool::Instance().Take(window_, this, slot);
}

void TAsyncWndComponent::ThreadDetach() {
  if (!IsOwnerThread()) throw Exception("Cannot detach from another thread");
  ReleaseNumbers();
  thread_id_ = 0;
}

void TAsyncWndComponent::ThreadAttach() {
  if (window_) throw Exception("Cannot attach when not detached");
  thread_id_ = ::GetCurrentThreadId();
  TakeNumbers();
}

}  // namespace n2
