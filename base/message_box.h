// The modal message boxes through which the plug-in reports errors to the user.
#pragma once

#include <exception>
#include <string>

namespace n2 {

// Caption of every message box the plug-in shows.
inline constexpr char kMessageBoxCaption[] = "Norvel2! Velmora";

// Shows a modal box with one OK button and waits until it is dismissed.
void ShowMessageBox(const std::string& text);

// Shows text followed by the error's kind name, CR LF and its message.
void ShowErrorBox(const std::string& text, const std::exception& error);

}  // namespace n2
