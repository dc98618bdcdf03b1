// TAsyncWndComponent: the base of every object that is driven by window
// messages (sockets, the FTP and HTTP clients).
//
// A component belongs to the thread that creates it (its owner thread). It
// takes private message numbers on a hidden window of that thread, shared with
// the other components of the thread, and handles them in HandleMessage when
// the owner thread's message loop dispatches them.
//
//   class TMyClient : public TAsyncWndComponent {
//    public:
//     TMyClient() : msg_done_(AllocateMsg()) {}
//     void Finish() { PostMsg(msg_done_); }           // handled later, never inside Finish
//    protected:
//     void HandleMessage(MsgSlot slot, WPARAM, LPARAM) override {
//       if (slot == msg_done_) ...;
//     }
//    private:
//     MsgSlot msg_done_;
//   };
//
// Messages are named by slots (small numbers that AllocateMsg hands out), so that they survive ThreadDetach/ThreadAttach, which give the
// component new message numbers on another thread's window. MsgNumber(slot)
// gives the current window message number of a slot (what Winsock is told).
//
// Threads: everything here is owner-thread-only except ThreadId(), Handle(),
// IsOwnerThread(), PostMsg() (PostMessage is safe from any thread) and
// RunOnOwnerThread(), which exists to carry a call from another thread over to
// the owner thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "base/exception.h"

namespace n2 {

class HiddenWindowPool;
struct PooledWindow;

class TAsyncWndComponent {
 public:
  using MsgSlot = unsigned;

  // Takes the hidden window of the calling thread (created on first use).
  TAsyncWndComponent();
  TAsyncWndComponent(const TAsyncWndComponent&) = delete;
  TAsyncWndComponent& operator=(const TAsyncWndComponent&) = delete;
  // Gives its message numbers back; the window goes away with its last user.
  virtual ~TAsyncWndComponent();

  // The hidden window that receives this component's messages.
  HWND Handle() const noexcept;
  // The thread that owns the window; all events run on it.
  DWORD ThreadId() const noexcept { return thread_id_; }
  bool IsOwnerThread() const noexcept { return ::GetCurrentThreadId() == thread_id_; }

  // Handles the calling thread's pending window messages and returns. A WM_QUIT
  // found on the way is posted again for the thread's own loop and sets
  // Terminated().
  void MessagePump();
  bool Terminated() const noexcept { return terminated_; }

  // Runs fn on the owner thread and returns when it has run; an exception it
  // throws is raised again in the caller. On the owner thread fn runs at once;
  // from another thread the call goes through SendMessage, so the owner thread
  // must be dispatching messages (any GetMessage/PeekMessage/MsgWait loop or a
  // modal dialog does) and must not be waiting for the calling thread.
  void RunOnOwnerThread(const std::function<void()>& fn);

  // Give back the message numbers on the current window (only on the owner
  // thread: "Cannot detach from another thread"), and take new ones on the
  // calling thread's window, which becomes the owner ("Cannot attach when not
  // detached"). The plug-in does not use them.
  virtual void ThreadDetach();
  virtual void ThreadAttach();

 protected:
  // Takes one more private message number; returns its slot. Raises
  // "No more free message" when the windows of this thread are out of numbers.
  MsgSlot AllocateMsg();
  // The window message number of a slot (valid while attached).
  UINT MsgNumber(MsgSlot slot) const;
  // Posts a private message to this component; false when it cannot be posted.
  bool PostMsg(MsgSlot slot, WPARAM wparam = 0, LPARAM lparam = 0) const noexcept;

  // Handles one of this component's private messages, on the owner thread.
  virtual void HandleMessage(MsgSlot slot, WPARAM wparam, LPARAM lparam) = 0;
  // Called on the owner thread when HandleMessage lets an exception out. The
  // default does nothing (the exception is dropped, never leaves the window).
  virtual void HandleBackgroundException(const std::exception& error);

 private:
  friend class HiddenWindowPool;
  void Dispatch(MsgSlot slot, WPARAM wparam, LPARAM lparam) noexcept;
  void ReleaseNumbers() noexcept;
  void TakeNumbers();

  DWORD thread_id_ = 0;
  PooledWindow* window_ = nullptr;   // null while detached
  std::vector<UINT> numbers_;        // message number of each slot
  MsgSlot run_slot_ = 0;             // carries RunOnOwnerThread calls
  bool terminated_ = false;
};

}  // namespace n2
