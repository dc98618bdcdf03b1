// Workers running code on the main thread through the hidden window and the
// thread's ordinary message loop.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "plugin/sync_helper.h"
#include "tests/support/test_support.h"

namespace {

using n2::RunOnMainThread;
using n2::TSyncHelper;

// Waits until a message has been posted to this thread's queue, without taking it.
bool WaitForPostedMessage(DWORD milliseconds = 10000) {
  MSG msg;
  DWORD start = ::GetTickCount();
  while (!::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
    DWORD elapsed = ::GetTickCount() - start;
    if (elapsed >= milliseconds) return false;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - elapsed, QS_POSTMESSAGE);
  }
  return true;
}

TEST(SyncHelper, WorkerCallRunsOnMainThreadThroughTheMessageLoop) {
  TSyncHelper helper;
  DWORD ran_on = 0;
  bool finished = false;
  std::thread worker([&] {
    RunOnMainThread([&] { ran_on = ::GetCurrentThreadId(); });
    finished = true;
  });
  // An ordinary loop, which never calls ProcessPendingCalls itself.
  bool released = n2test::PumpMessagesUntil([&] { return ran_on != 0; });
  worker.join();
  EXPECT_TRUE(released);
  EXPECT_EQ(ran_on, ::GetCurrentThreadId());
  EXPECT_EQ(ran_on, n2::MainThreadId());
  EXPECT_TRUE(finished);
}

TEST(SyncHelper, OneWakeUpReleasesEveryQueuedWorkerInOrder) {
  TSyncHelper helper;
  std::vector<int> order;
  std::thread first([&] { RunOnMainThread([&] { order.push_back(1); }); });
  ASSERT_TRUE(WaitForPostedMessage());
  std::thread second([&] { RunOnMainThread([&] { order.push_back(2); }); });
  // Take the first wake-up message, and hold it until the second worker's has come.
  MSG msg;
  ASSERT_TRUE(::PeekMessageA(&msg, helper.Handle(), TSyncHelper::kWakeMessage, TSyncHelper::kWakeMessage, PM_REMOVE));
  ASSERT_TRUE(WaitForPostedMessage());
  ::DispatchMessageA(&msg);  // the first wake-up message runs both requests
  first.join();
  second.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  // The second wake-up message finds nothing left to run.
  ASSERT_TRUE(::PeekMessageA(&msg, helper.Handle(), TSyncHelper::kWakeMessage, TSyncHelper::kWakeMessage, PM_REMOVE));
  EXPECT_FALSE(n2::ProcessPendingCalls(0));
}

TEST(SyncHelper, ExceptionOnMainThreadReappearsInWorker) {
  TSyncHelper helper;
  std::string caught;
  bool done = false;
  std::thread worker([&] {
    try {
      RunOnMainThread([] { throw n2::Exception("main thread failed"); });
    } catch (const n2::Exception& e) {
      caught = std::string(e.KindName()) + ": " + e.Message();
    }
    done = true;
  });
  EXPECT_TRUE(n2test::PumpMessagesUntil([&] { return done; }));
  worker.join();
  EXPECT_EQ(caught, "Exception: main thread failed");
  // The main thread goes on serving requests.
  int value = 0;
  std::thread again([&] { RunOnMainThread([&] { value = 7; }); });
  EXPECT_TRUE(n2test::PumpMessagesUntil([&] { return value == 7; }));
  again.join();
}

TEST(SyncHelper, CallOnMainThreadRunsAtOnceAndPostsNothing) {
  TSyncHelper helper;
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
  bool ran = false;
  RunOnMainThread([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_FALSE(::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
}

TEST(SyncHelper, OtherMessagesGetDefaultHandling) {
  TSyncHelper helper;
  EXPECT_TRUE(::SendMessageA(helper.Handle(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("hidden")));
  char text[16] = {};
  EXPECT_EQ(::SendMessageA(helper.Handle(), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text)), 6);
  EXPECT_STREQ(text, "hidden");
  EXPECT_EQ(::SendMessageA(helper.Handle(), TSyncHelper::kWakeMessage, 0, 0), 0);
}

TEST(SyncHelper, HookIsEmptyAfterDestruction) {
  {
    TSyncHelper helper;
    EXPECT_TRUE(n2::MainThreadWakeHookIsSet());
  }
  EXPECT_FALSE(n2::MainThreadWakeHookIsSet());
  // Without a helper a request waits until somebody works off the queue.
  bool ran = false;
  std::thread worker([&] { RunOnMainThread([&] { ran = true; }); });
  EXPECT_TRUE(n2::ProcessPendingCalls(10000));
  worker.join();
  EXPECT_TRUE(ran);
}

TEST(SyncHelper, ProcessPendingCallsRefusesOtherThreads) {
  bool refused = false;
  std::thread other([&] {
    try {
      n2::ProcessPendingCalls(0);
    } catch (const n2::Exception&) {
      refused = true;
    }
  });
  other.join();
  EXPECT_TRUE(refused);
}

}  // namespace
