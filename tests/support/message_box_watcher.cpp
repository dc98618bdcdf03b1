#include "tests/support/message_box_watcher.h"

#include <chrono>

namespace n2test {
namespace {

std::string WindowText(HWND window) {
  char buffer[4096] = {};
  int length = ::GetWindowTextA(window, buffer, sizeof buffer);
  return std::string(buffer, length > 0 ? length : 0);
}

std::string ClassName(HWND window) {
  char buffer[64] = {};
  ::GetClassNameA(window, buffer, sizeof buffer);
  return buffer;
}

BOOL CALLBACK CollectStaticText(HWND child, LPARAM out) {
  auto* text = reinterpret_cast<std::string*>(out);
  if (ClassName(child) != "Static") return TRUE;
  LONG style = ::GetWindowLongA(child, GWL_STYLE);
  if ((style & SS_TYPEMASK) == SS_ICON) return TRUE;
  std::string candidate = WindowText(child);
  if (candidate.size() > text->size()) *text = candidate;
  return TRUE;
}

}  // namespace

std::string MessageBoxText(HWND box) {
  std::string text;
  ::EnumChildWindows(box, &CollectStaticText, reinterpret_cast<LPARAM>(&text));
  return text;
}

MessageBoxWatcher::MessageBoxWatcher(std::string caption) : caption_(std::move(caption)) {
  thread_ = std::thread([this] { Run(); });
}

MessageBoxWatcher::~MessageBoxWatcher() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

std::optional<std::string> MessageBoxWatcher::WaitForBox(DWORD milliseconds) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return !unread_.empty(); }))
    return std::nullopt;
  std::string text = std::move(unread_.front());
  unread_.pop_front();
  return text;
}

std::vector<std::string> MessageBoxWatcher::Texts() const {
  std::lock_guard lock(mutex_);
  return texts_;
}

void MessageBoxWatcher::Run() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    lock.unlock();
    ScanOnce();
    lock.lock();
    // Boxes are looked for every few milliseconds; waiting on the condition
    // lets the destructor end the scan at once.
    changed_.wait_for(lock, std::chrono::milliseconds(5), [this] { return stop_; });
  }
}

void MessageBoxWatcher::ScanOnce() {
  seen_this_scan_.clear();
  ::EnumWindows(&MessageBoxWatcher::EnumProc, reinterpret_cast<LPARAM>(this));
  std::lock_guard lock(mutex_);
  // Forget boxes that are gone, so that a reused handle is seen as a new box.
  for (auto it = answered_.begin(); it != answered_.end();)
    it = seen_this_scan_.count(*it) ? std::next(it) : answered_.erase(it);
}

BOOL CALLBACK MessageBoxWatcher::EnumProc(HWND window, LPARAM self) {
  reinterpret_cast<MessageBoxWatcher*>(self)->Inspect(window);
  return TRUE;
}

void MessageBoxWatcher::Inspect(HWND window) {
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  if (process != ::GetCurrentProcessId() || ClassName(window) != "#32770") return;
  if ((!caption_.empty() && WindowText(window) != caption_) || !::IsWindowVisible(window)) return;
  seen_this_scan_.insert(window);
  {
    std::lock_guard lock(mutex_);
    if (answered_.count(window)) return;
  }
  std::string text = MessageBoxText(window);
  HWND ok = ::GetDlgItem(window, IDOK);
  ::PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
  {
    std::lock_guard lock(mutex_);
    answered_.insert(window);
    texts_.push_back(text);
    unread_.push_back(std::move(text));
  }
  changed_.notify_all();
}

}  // namespace n2test
