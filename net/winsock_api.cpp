#include "net/winsock_api.h"

#include <atomic>
#include <mutex>
#include <string>

#include "base/win_error.h"
#include "net/socket_error_text.h"

namespace n2::wsock {
namespace {

constexpr const char* kEntryNames[] = {
#define N2_WINSOCK_NAME(name) #name,
    N2_WINSOCK_ENTRIES(N2_WINSOCK_NAME)
#undef N2_WINSOCK_NAME
};
constexpr int kEntryCount = static_cast<int>(Entry::Count);
static_assert(sizeof kEntryNames / sizeof kEntryNames[0] == kEntryCount);

bool ProcessIsEnding() {
  using ShutdownInProgressFn = BOOLEAN(WINAPI*)();
  auto in_progress = reinterpret_cast<ShutdownInProgressFn>(
      ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "RtlDllShutdownInProgress"));
  return in_progress && in_progress();
}

std::string LoadErrorText(DWORD code) {
  return SystemErrorText(code) + " (#" + std::to_string(code) + ")";
}

// Everything module-wide about Winsock, behind one lock. The entry points are
// also readable without the lock (atomics), so that a call that finds its
// entry point already resolved costs no locking.
class Library {
 public:
  // The module is being unloaded. When the whole process is ending, Winsock
  // may already be gone and is left to the system; otherwise it is unloaded.
  ~Library() {
    if (!ProcessIsEnding()) Unload();
  }

  FARPROC Proc(Entry entry) {
    const int index = static_cast<int>(entry);
    if (FARPROC proc = procs_[index].load(std::memory_order_acquire)) return proc;
    std::lock_guard<std::mutex> lock(mutex_);
    LoadLocked();
    FARPROC proc = ::GetProcAddress(wsock32_, kEntryNames[index]);
    if (!proc)
      throw ESocketException(std::string("Procedure ") + kEntryNames[index] +
                             " not found in wsock32.dll - " + SystemErrorText(::GetLastError()));
    procs_[index].store(proc, std::memory_order_release);
    return proc;
  }

  FARPROC WSAIoctlProc() {
    std::lock_guard<std::mutex> lock(mutex_);
    LoadLocked();
    if (!ws2_32_) {
      ws2_32_ = ::LoadLibraryA("ws2_32.dll");
      if (!ws2_32_) throw ESocketException("Unable to load ws2_32.dll - " + LoadErrorText(::GetLastError()));
    }
    FARPROC proc = ::GetProcAddress(ws2_32_, "WSAIoctl");
    if (!proc)
      throw ESocketException("Procedure WSAIoctl not found in ws2_32.dll - " + SystemErrorText(::GetLastError()));
    return proc;
  }

  void AddSocket() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++socket_count_;
  }

  void ReleaseSocket() {
    std::lock_guard<std::mutex> lock(mutex_);
    --socket_count_;
    if (socket_count_ < 1) UnloadLocked();
  }

  int SocketCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return socket_count_;
  }

  bool IsLoaded() {
    std::lock_guard<std::mutex> lock(mutex_);
    return wsock32_ != nullptr;
  }

  void Unload() {
    std::lock_guard<std::mutex> lock(mutex_);
    UnloadLocked();
  }

  std::uint8_t Version(bool high) {
    std::lock_guard<std::mutex> lock(mutex_);
    return high ? req_ver_high_ : req_ver_low_;
  }

  void SetVersion(bool high, std::uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint8_t& field = high ? req_ver_high_ : req_ver_low_;
    if (field == value) return;
    if (wsock32_)
      throw ESocketException(std::string(high ? "SetReqVerHigh" : "SetReqVerLow") +
                             ": WinSock version can't be changed now");
    field = value;
  }

 private:
  void LoadLocked() {
    if (wsock32_) return;
    HMODULE module = ::LoadLibraryA("wsock32.dll");
    if (!module) throw ESocketException("Unable to load wsock32.dll - " + LoadErrorText(::GetLastError()));
    using StartupFn = decltype(&::WSAStartup);
    auto startup = reinterpret_cast<StartupFn>(::GetProcAddress(module, "WSAStartup"));
    if (!startup) {
      DWORD code = ::GetLastError();
      ::FreeLibrary(module);
      throw ESocketException("Procedure WSAStartup not found in wsock32.dll - " + SystemErrorText(code));
    }
    WSADATA data{};
    int result = startup(MAKEWORD(req_ver_low_, req_ver_high_), &data);
    if (result != 0) {
      ::FreeLibrary(module);
      throw ESocketException("Winsock startup error wsock32.dll - " + LoadErrorText(result));
    }
    wsock32_ = module;
  }

  void UnloadLocked() noexcept {
    if (!wsock32_) return;
    if (auto cleanup = reinterpret_cast<decltype(&::WSACleanup)>(::GetProcAddress(wsock32_, "WSACleanup")))
      cleanup();
    for (auto& proc : procs_) proc.store(nullptr, std::memory_order_release);
    if (ws2_32_) ::FreeLibrary(ws2_32_);
    ws2_32_ = nullptr;
    ::FreeLibrary(wsock32_);
    wsock32_ = nullptr;
  }

  std::mutex mutex_;
  HMODULE wsock32_ = nullptr;
  HMODULE ws2_32_ = nullptr;
  std::atomic<FARPROC> procs_[kEntryCount] = {};
  std::uint8_t req_ver_low_ = 1;
  std::uint8_t req_ver_high_ = 1;
  int socket_count_ = 0;
};

Library& TheLibrary() {
  static Library library;  // unloads Winsock when the module is unloaded
  return library;
}

}  // namespace

FARPROC Proc(Entry entry) { return TheLibrary().Proc(entry); }
FARPROC WSAIoctlProc() { return TheLibrary().WSAIoctlProc(); }
void AddSocket() { TheLibrary().AddSocket(); }
void ReleaseSocket() { TheLibrary().ReleaseSocket(); }
int SocketCount() { return TheLibrary().SocketCount(); }
bool IsLoaded() { return TheLibrary().IsLoaded(); }
void Unload() { TheLibrary().Unload(); }
std::uint8_t ReqVerLow() { return TheLibrary().Version(false); }
std::uint8_t ReqVerHigh() { return TheLibrary().Version(true); }
void SetReqVerLow(std::uint8_t value) { TheLibrary().SetVersion(false, value); }
void SetReqVerHigh(std::uint8_t value) { TheLibrary().SetVersion(true, value); }

}  // namespace n2::wsock
