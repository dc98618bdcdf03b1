// Texts of Windows error codes.
#pragma once

#include <windows.h>

#include <string>

namespace n2 {

// The system's description of an error code, without a trailing line break or period.
std::string SystemErrorText(DWORD code);

}  // namespace n2
