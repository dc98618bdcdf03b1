#include "plugin/sync_helper.h"

#include <exception>
#include <mutex>
#include <vector>

#include "base/exception.h"
#include "base/scoped_handle.h"

namespace n2 {

TSyncHelper* SyncHelper = nullptr;

namespace {

struct Request {
  explicit Request(const std::function<void()>& m) : method(m) {}
  const std::function<void()>& method;
  DWORD thread = ::GetCurrentThreadId();
  std::exception_ptr error;
  Event done = Event::ManualReset();
};

// The request queue, shared by all threads of the module. The lock guards the
// pending list and the wake hook; it is never held while a request runs.
struct RequestQueue {
  std::mutex lock;
  std::vector<Request*> pending;
  WakeHook wake_hook;
  Event sync_signal = Event::ManualReset();
};

RequestQueue& Queue() {
  static RequestQueue queue;
  return queue;
}

// Recorded when the module's code is initialised, on the loading thread.
const DWORD main_thread_id = ::GetCurrentThreadId();

}  // namespace

DWORD MainThreadId() { return main_thread_id; }

void SetMainThreadWakeHook(WakeHook hook) {
  std::lock_guard guard(Queue().lock);
  Queue().wake_hook = std::move(hook);
}

bool MainThreadWakeHookIsSet() {
  std::lock_guard guard(Queue().lock);
  return static_cast<bool>(Queue().wake_hook);
}

void RunOnMainThread(const std::function<void()>& method) {
  if (::GetCurrentThreadId() == main_thread_id) {
    method();
    return;
  }
  Request request(method);
  {
    RequestQueue& queue = Queue();
    std::lock_guard guard(queue.lock);
    queue.pending.push_back(&request);
    queue.sync_signal.Set();
    if (queue.wake_hook) queue.wake_hook(request.thread);
  }
  request.done.Wait();
  if (request.error) std::rethrow_exception(request.error);
}

bool ProcessPendingCalls(DWORD timeout) {
  if (::GetCurrentThreadId() != main_thread_id)
    throw Exception("ProcessPendingCalls called from a thread that is not the main thread");
  RequestQueue& queue = Queue();
  if (timeout == 0)
    queue.sync_signal.Reset();
  else
    queue.sync_signal.Wait(timeout);

  std::unique_lock guard(queue.lock);
  std::vector<Request*> taken;
  taken.swap(queue.pending);
  for (Request* request : taken) {
    guard.unlock();
    try {
      request->method();
    } catch (...) {
      request->error = std::current_exception();
    }
    guard.lock();
    request->done.Set();
  }
  return !taken.empty();
}

TSyncHelper::TSyncHelper()
    : window_(std::make_unique<HiddenWindow>(
          [this](UINT message, WPARAM wparam, LPARAM lparam, bool& handled) {
            return WndProc(message, wparam, lparam, handled);
          })) {
  SetMainThreadWakeHook([this](DWORD thread) { WakeUp(thread); });
}

TSyncHelper::~TSyncHelper() {
  SetMainThreadWakeHook(nullptr);
  window_.reset();
}

void TSyncHelper::WakeUp(DWORD) { window_->Post(kWakeMessage, 0, 0); }

LRESULT TSyncHelper::WndProc(UINT message, WPARAM, LPARAM, bool& handled) {
  if (message != kWakeMessage) {
    handled = false;
    return 0;
  }
  ProcessPendingCalls(0);
  return 0;
}

}  // namespace n2
