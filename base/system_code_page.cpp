#include "base/system_code_page.h"

#include <windows.h>

namespace n2 {

const LeadBytes& SystemLeadBytes() {
  static const LeadBytes bytes = LeadBytes::From([](unsigned char b) { return ::IsDBCSLeadByteEx(CP_ACP, b) != 0; });
  return bytes;
}

}  // namespace n2
