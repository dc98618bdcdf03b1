#include "base/hidden_window.h"

#include <string>

#include "base/exception.h"

namespace n2 {
namespace {

constexpr char kClassName[] = "N2VelmoraHiddenWindow";

ATOM RegisterHiddenClass(WNDPROC proc) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = proc;
  wc.hInstance = ThisModule();
  wc.lpszClassName = kClassName;
  ATOM atom = ::RegisterClassA(&wc);
  if (!atom && ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS) return 1;
  return atom;
}

}  // namespace

HINSTANCE ThisModule() noexcept {
  HMODULE module = nullptr;
  ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}

HiddenWindow::HiddenWindow(Handler handler) : handler_(std::move(handler)) {
  if (!RegisterHiddenClass(&HiddenWindow::WndProc))
    throw Exception("Cannot register the hidden window class, error " + std::to_string(::GetLastError()));
  window_.Attach(::CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ThisModule(), this));
  if (!window_) throw Exception("Cannot create the hidden window, error " + std::to_string(::GetLastError()));
}

HiddenWindow::~HiddenWindow() {
  if (window_) ::SetWindowLongPtrA(window_.Get(), GWLP_USERDATA, 0);
}

LRESULT CALLBACK HiddenWindow::WndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lparam);
    ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<HiddenWindow*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
  if (self && self->handler_) {
    bool handled = true;
    LRESULT result = self->handler_(message, wparam, lparam, handled);
    if (handled) return result;
  }
  return ::DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace n2
