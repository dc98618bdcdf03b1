// Thin handles on the standard window controls the settings dialog is built
// from. The dialog creates and owns the windows; these only name them and give
// their state the words the rest of the plug-in uses (Text, Checked, Visible).
// Reading from another thread is allowed: the system hands the request to the
// owner thread.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>

namespace n2 {

class TControl {
 public:
  HWND Handle() const noexcept { return handle_; }
  void Attach(HWND handle) noexcept { handle_ = handle; }

  bool Enabled() const noexcept { return ::IsWindowEnabled(handle_) != FALSE; }
  void SetEnabled(bool value) const noexcept { ::EnableWindow(handle_, value); }
  // The control's own visible flag, whatever its parents show.
  bool Visible() const noexcept { return (::GetWindowLongA(handle_, GWL_STYLE) & WS_VISIBLE) != 0; }
  void SetVisible(bool value) const noexcept { ::ShowWindow(handle_, value ? SW_SHOWNA : SW_HIDE); }
  void Show() const noexcept { SetVisible(true); }
  void Hide() const noexcept { SetVisible(false); }

  std::string Text() const;
  void SetText(const std::string& text) const noexcept { ::SetWindowTextA(handle_, text.c_str()); }

 protected:
  HWND handle_ = nullptr;
};

class TEdit : public TControl {};
class TButton : public TControl {};
class TGroupBox : public TControl {};
class TPanel : public TControl {};
class TTabSheet : public TControl {};
class TAnimate : public TControl {};

// A label sizes itself to its text.
class TLabel : public TControl {
 public:
  void SetCaption(const std::string& text) const;
};

class TCheckBox : public TControl {
 public:
  bool Checked() const noexcept {
    return ::SendMessageA(handle_, BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  void SetChecked(bool value) const noexcept {
    ::SendMessageA(handle_, BM_SETCHECK, value ? BST_CHECKED : BST_UNCHECKED, 0);
  }
};

class TRadioButton : public TCheckBox {};

class TPageControl : public TControl {
 public:
  int ActivePageIndex() const noexcept { return static_cast<int>(::SendMessageA(handle_, TCM_GETCURSEL, 0, 0)); }
};

}  // namespace n2
