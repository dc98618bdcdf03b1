// Thin owners of Windows handles: one class per kind of handle, movable, not
// copyable, closing in the destructor. Closing preserves GetLastError() so that
// an error can still be reported after cleanup.
#pragma once

#include <windows.h>

#include <utility>

namespace n2 {

template <class Traits>
class GenericScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  GenericScopedHandle() noexcept = default;
  explicit GenericScopedHandle(Handle handle) noexcept : handle_(handle) {}
  GenericScopedHandle(const GenericScopedHandle&) = delete;
  GenericScopedHandle& operator=(const GenericScopedHandle&) = delete;
  GenericScopedHandle(GenericScopedHandle&& other) noexcept : handle_(other.Take()) {}
  GenericScopedHandle& operator=(GenericScopedHandle&& other) noexcept {
    if (this != &other) Attach(other.Take());
    return *this;
  }
  ~GenericScopedHandle() { Close(); }

  bool IsValid() const noexcept { return Traits::IsValid(handle_); }
  explicit operator bool() const noexcept { return IsValid(); }
  Handle Get() const noexcept { return handle_; }

  // Closes the current handle and owns the given one.
  void Attach(Handle handle) noexcept {
    Close();
    handle_ = handle;
  }
  // Gives up ownership without closing.
  [[nodiscard]] Handle Take() noexcept { return std::exchange(handle_, Traits::Null()); }

  void Close() noexcept {
    if (Traits::IsValid(handle_)) {
      DWORD saved = ::GetLastError();
      Traits::Close(handle_);
      ::SetLastError(saved);
    }
    handle_ = Traits::Null();
  }

 private:
  Handle handle_ = Traits::Null();
};

// Both NULL and INVALID_HANDLE_VALUE count as no handle.
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Null() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Handle h) noexcept { ::CloseHandle(h); }
};
struct ChangeNotificationTraits : KernelHandleTraits {
  static void Close(Handle h) noexcept { ::FindCloseChangeNotification(h); }
};
struct FindHandleTraits : KernelHandleTraits {
  static void Close(Handle h) noexcept { ::FindClose(h); }
};
struct WindowTraits {
  using Handle = HWND;
  static Handle Null() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr; }
  static void Close(Handle h) noexcept { ::DestroyWindow(h); }
};
struct ModuleTraits {
  using Handle = HMODULE;
  static Handle Null() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr; }
  static void Close(Handle h) noexcept { ::FreeLibrary(h); }
};
struct MenuTraits {
  using Handle = HMENU;
  static Handle Null() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr; }
  static void Close(Handle h) noexcept { ::DestroyMenu(h); }
};

struct HookTraits {
  using Handle = HHOOK;
  static Handle Null() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr; }
  static void Close(Handle h) noexcept { ::UnhookWindowsHookEx(h); }
};

using ScopedHandle = GenericScopedHandle<KernelHandleTraits>;  // files, events, threads
using ScopedChangeNotification = GenericScopedHandle<ChangeNotificationTraits>;
using ScopedFindHandle = GenericScopedHandle<FindHandleTraits>;
using ScopedWindow = GenericScopedHandle<WindowTraits>;
using ScopedModule = GenericScopedHandle<ModuleTraits>;
using ScopedMenu = GenericScopedHandle<MenuTraits>;
using ScopedHook = GenericScopedHandle<HookTraits>;

// A Win32 event.
class Event {
 public:
  static Event ManualReset(bool signalled = false) { return Event(TRUE, signalled); }
  static Event AutoReset(bool signalled = false) { return Event(FALSE, signalled); }

  void Set() const noexcept { ::SetEvent(handle_.Get()); }
  void Reset() const noexcept { ::ResetEvent(handle_.Get()); }
  // True when signalled within the time (INFINITE waits without limit).
  bool Wait(DWORD milliseconds = INFINITE) const noexcept {
    return ::WaitForSingleObject(handle_.Get(), milliseconds) == WAIT_OBJECT_0;
  }
  bool IsSet() const noexcept { return Wait(0); }
  HANDLE Get() const noexcept { return handle_.Get(); }

 private:
  Event(BOOL manual, bool signalled) : handle_(::CreateEventA(nullptr, manual, signalled, nullptr)) {}
  ScopedHandle handle_;
};

}  // namespace n2
