// The system's code page: the one every 8-bit text of the plug-in is in (file
// names, settings, entry names, the credentials the user typed).
#pragma once

#include <string>
#include <string_view>

#include "base/code_page.h"

namespace n2 {

// Its lead bytes. Read once from the system; the code page of a process never
// changes.
const LeadBytes& SystemLeadBytes();

// text converted from the system code page to UTF-8. ASCII text comes back as
// it is; a byte the code page has no character for becomes the code page's
// default character.
std::string SystemToUtf8(std::string_view text);

}  // namespace n2
