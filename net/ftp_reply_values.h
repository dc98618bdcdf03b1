// The values that a few FTP replies carry in their text: the size in SIZE's
// 213 reply, the modification time in MDTM's 213 reply, and the feature lines
// of FEAT's multi-line 211 reply. The client has judged the code already;
// these read what follows it and refuse what does not have the expected form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace n2 {

// "213 <bytes>": the decimal size. Empty unless the text is one number that fits in 64 bits.
std::optional<int64_t> ParseSizeReply(std::string_view line);

// "213 YYYYMMDDHHMMSS[.fraction]": that time text, as the server gave it.
// Empty unless the text has this form.
std::optional<std::string> ParseMdtmReply(std::string_view line);

// The feature lines of a FEAT reply, given all its lines (each ended by LF or
// CR LF): every line that does not begin with a digit, trimmed of blanks, its
// keyword (up to the first blank) in capitals and its parameters as sent.
// A single-line reply has none.
std::vector<std::string> ParseFeatReply(std::string_view lines);

}  // namespace n2
