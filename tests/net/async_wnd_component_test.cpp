// Private messages of components on the shared hidden windows of a thread.
#include "net/async_wnd_component.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

namespace n2 {
namespace {

class Probe : public TAsyncWndComponent {
 public:
  explicit Probe(int messages = 2) {
    for (int i = 0; i < messages; ++i) slots.push_back(AllocateMsg());
  }
  using TAsyncWndComponent::AllocateMsg;
  using TAsyncWndComponent::MsgNumber;
  using TAsyncWndComponent::PostMsg;
  std::vector<std::string> seen;
  std::vector<MsgSlot> slots;
  bool fail = false;
  std::string background;

 protected:
  void HandleMessage(MsgSlot slot, WPARAM wparam, LPARAM) override {
    seen.push_back(std::to_string(slot) + ":" + std::to_string(wparam));
    if (fail) throw Exception("from a handler");
  }
  void HandleBackgroundException(const std::exception& e) override { background = e.what(); }
};

TEST(AsyncWndComponentTest, ManyComponentsShareWindowsAndGetTheirOwnMessages) {
  std::vector<std::unique_ptr<Probe>> probes;
  for (int i = 0; i < 40; ++i) probes.push_back(std::make_unique<Probe>());
  std::vector<UINT> numbers;
  for (auto& p : probes) {
    EXPECT_EQ(p->ThreadId(), ::GetCurrentThreadId());
    for (auto slot : p->slots) {
      UINT number = p->MsgNumber(slot);
      EXPECT_GE(number, static_cast<UINT>(WM_USER + 1));
      EXPECT_LE(number, 65533u);
      numbers.push_back(number);
    }
  }
  for (std::size_t i = 0; i < probes.size(); ++i) probes[i]->PostMsg(probes[i]->slots[1], i);
  ASSERT_TRUE(n2test::PumpMessagesUntil([&] {
    for (auto& p : probes)
      if (p->seen.empty()) return false;
    return true;
  }));
  for (std::size_t i = 0; i < probes.size(); ++i)
    EXPECT_EQ(probes[i]->seen, (std::vector<std::string>{std::to_string(probes[i]->slots[1]) + ":" + std::to_string(i)}));
  // More than one window was needed, and numbers on one window never repeat.
  EXPECT_NE(probes.front()->Handle(), probes.back()->Handle());
}

TEST(AsyncWndComponentTest, RunsOutOfNumbersWithAClearError) {
  Probe probe(0);
  try {
    for (int i = 0; i < 200; ++i) probe.AllocateMsg();
    FAIL() << "a window serves at most 100 numbers";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "No more free message");
  }
}

TEST(AsyncWndComponentTest, HandlerExceptionsStayInTheWindow) {
  Probe probe;
  probe.fail = true;
  probe.PostMsg(probe.slots[0], 7);
  ASSERT_TRUE(n2test::PumpMessagesUntil([&] { return !probe.background.empty(); }));
  EXPECT_EQ(probe.background, "from a handler");
}

TEST(AsyncWndComponentTest, RunOnOwnerThreadCarriesCallsAndErrors) {
  Probe probe;
  DWORD ran_on = 0;
  std::string error;
  bool done = false;
  std::thread worker([&] {
    probe.RunOnOwnerThread([&] { ran_on = ::GetCurrentThreadId(); });
    try {
      probe.RunOnOwnerThread([] { throw Exception("owner failed"); });
    } catch (const Exception& e) {
      error = e.what();
    }
    try {
      probe.ThreadDetach();
    } catch (const Exception& e) {
      error += "; " + std::string(e.what());
    }
    done = true;
  });
  ASSERT_TRUE(n2test::PumpMessagesUntil([&] { return done; }));
  worker.join();
  EXPECT_EQ(ran_on, ::GetCurrentThreadId());
  EXPECT_EQ(error, "owner failed; Cannot detach from another thread");
  EXPECT_THROW(probe.ThreadAttach(), Exception);  // not detached
}

}  // namespace
}  // namespace n2
