// The lead bytes of the system's code page (the one every 8-bit text of the
// plug-in is in: file names, settings, entry names).
#pragma once

#include "base/code_page.h"

namespace n2 {

// Read once from the system; the code page of a process never changes.
const LeadBytes& SystemLeadBytes();

}  // namespace n2
