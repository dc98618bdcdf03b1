#include "settings/controls.h"

namespace n2 {

std::string TControl::Text() const {
  int length = ::GetWindowTextLengthA(handle_);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  text.resize(static_cast<size_t>(::GetWindowTextA(handle_, text.data(), length + 1)));
  return text;
}

void TLabel::SetCaption(const std::string& text) const {
  SetText(text);
  HDC dc = ::GetDC(handle_);
  HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageA(handle_, WM_GETFONT, 0, 0)));
  SIZE size{};
  ::GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
  ::SelectObject(dc, old);
  ::ReleaseDC(handle_, dc);
  if (size.cy == 0) size.cy = 13;
  ::SetWindowPos(handle_, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace n2
