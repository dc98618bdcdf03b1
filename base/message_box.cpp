#include "base/message_box.h"

#include <windows.h>

#include "base/exception.h"

namespace n2 {
namespace {

thread_local std::vector<std::string>* held_boxes = nullptr;

}  // namespace

void ShowMessageBox(const std::string& text) {
  if (held_boxes) {
    held_boxes->push_back(text);
    return;
  }
  ::MessageBoxA(nullptr, text.c_str(), kMessageBoxCaption, MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TASKMODAL);
}

void ShowErrorBox(const std::string& text, const std::exception& error) {
  ShowMessageBox(ErrorReport(text, error));
}

HeldMessageBoxes::HeldMessageBoxes(std::vector<std::string>& held) noexcept : outer_(held_boxes) {
  held_boxes = &held;
}

HeldMessageBoxes::~HeldMessageBoxes() { held_boxes = outer_; }

}  // namespace n2
