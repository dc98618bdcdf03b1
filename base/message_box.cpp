#include "base/message_box.h"

#include <windows.h>

#include "base/exception.h"

namespace n2 {

void ShowMessageBox(const std::string& text) {
  ::MessageBoxA(nullptr, text.c_str(), kMessageBoxCaption, MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TASKMODAL);
}

void ShowErrorBox(const std::string& text, const std::exception& error) {
  ShowMessageBox(ErrorReport(text, error));
}

}  // namespace n2
