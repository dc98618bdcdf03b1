#include "base/system_code_page.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace n2 {

const LeadBytes& SystemLeadBytes() {
  static const LeadBytes bytes = LeadBytes::From([](unsigned char b) { return ::IsDBCSLeadByteEx(CP_ACP, b) != 0; });
  return bytes;
}

std::string SystemToUtf8(std::string_view text) {
  if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
    return std::string(text);
  if (text.size() > INT_MAX / 3) throw std::length_error("text too long to convert to UTF-8");
  const int size = static_cast<int>(text.size());
  // Each byte of the code page gives at most one UTF-16 unit, each unit at most three UTF-8 bytes.
  std::wstring wide(text.size(), L'\0');
  const int units = ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), size);
  std::string utf8(static_cast<size_t>(units) * 3, '\0');
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, utf8.data(), units * 3, nullptr, nullptr);
  utf8.resize(static_cast<size_t>(bytes));
  return utf8;
}

}  // namespace n2
