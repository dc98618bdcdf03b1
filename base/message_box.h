// The modal message boxes through which the plug-in reports errors to the user.
#pragma once

#include <exception>
#include <string>
#include <vector>

namespace n2 {

// Caption of every message box the plug-in shows.
inline constexpr char kMessageBoxCaption[] = "Norvel2! Velmora";

// Shows a modal box with one OK button and waits until it is dismissed.
void ShowMessageBox(const std::string& text);

// Shows text followed by the error's kind name, CR LF and its message.
void ShowErrorBox(const std::string& text, const std::exception& error);

// While it lives, the boxes the thread that made it would show are not shown
// but their texts appended to held, in order, to be shown later or dropped.
class HeldMessageBoxes {
 public:
  explicit HeldMessageBoxes(std::vector<std::string>& held) noexcept;
  HeldMessageBoxes(const HeldMessageBoxes&) = delete;
  HeldMessageBoxes& operator=(const HeldMessageBoxes&) = delete;
  ~HeldMessageBoxes();

 private:
  std::vector<std::string>* outer_;
};

}  // namespace n2
