// Base64 (the standard alphabet A-Z a-z 0-9 + /, padded with "="), as HTTP
// authorization headers carry it. Portable: no Windows headers.
#pragma once

#include <string>
#include <string_view>

namespace n2 {

std::string Base64Encode(std::string_view bytes);

// Decodes text; characters outside the alphabet (blanks, line breaks) are
// skipped and decoding stops at the first "=". Trailing bits that make no
// whole byte are dropped.
std::string Base64Decode(std::string_view text);

}  // namespace n2
