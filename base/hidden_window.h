// A hidden, message-only window owned by the thread that creates it. Its
// messages are dispatched by that thread's message loop (the host's, for the
// plug-in) and handed to one handler.
#pragma once

#include <windows.h>

#include <functional>

#include "base/scoped_handle.h"

namespace n2 {

class HiddenWindow {
 public:
  // Returns the message result; set handled to false to get the system's default handling.
  using Handler = std::function<LRESULT(UINT message, WPARAM wparam, LPARAM lparam, bool& handled)>;

  explicit HiddenWindow(Handler handler);
  HiddenWindow(const HiddenWindow&) = delete;
  HiddenWindow& operator=(const HiddenWindow&) = delete;
  ~HiddenWindow();

  HWND Handle() const noexcept { return window_.Get(); }
  bool Post(UINT message, WPARAM wparam = 0, LPARAM lparam = 0) const noexcept {
    return ::PostMessageA(window_.Get(), message, wparam, lparam) != FALSE;
  }

 private:
  static LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  Handler handler_;
  ScopedWindow window_;
};

// The module (DLL or executable) that holds this code.
HINSTANCE ThisModule() noexcept;

}  // namespace n2
