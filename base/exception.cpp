#include "base/exception.h"

#include <new>

namespace n2 {

const char* ErrorKindName(const std::exception& error) noexcept {
  if (auto* own = dynamic_cast<const Exception*>(&error)) return own->KindName();
  if (dynamic_cast<const std::bad_alloc*>(&error)) return "EOutOfMemory";
  return "Exception";
}

std::string ErrorReport(const std::string& text, const std::exception& error) {
  return text + ErrorKindName(error) + "\r\n" + error.what();
}

}  // namespace n2
