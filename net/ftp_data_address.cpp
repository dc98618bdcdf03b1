#include "net/ftp_data_address.h"

namespace n2 {
namespace {

// Reads a decimal number of at most three digits, skipping blanks around it,
// and the terminator after it.
bool ReadByteField(std::string_view text, size_t& pos, char terminator, unsigned& value) {
  while (pos < text.size() && text[pos] == ' ') ++pos;
  size_t digits = 0;
  value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    if (++digits > 3) return false;
    value = value * 10 + static_cast<unsigned>(text[pos] - '0');
    ++pos;
  }
  while (pos < text.size() && text[pos] == ' ') ++pos;
  if (digits == 0 || value > 255 || pos >= text.size() || text[pos] != terminator) return false;
  ++pos;
  return true;
}

}  // namespace

std::optional<FtpDataAddress> ParsePasvReply(std::string_view reply) {
  size_t pos = reply.find('(');
  if (pos == std::string_view::npos) return std::nullopt;
  ++pos;
  unsigned fields[6];
  for (int i = 0; i < 6; ++i) {
    char terminator = i == 5 ? ')' : ',';
    if (!ReadByteField(reply, pos, terminator, fields[i])) return std::nullopt;
  }
  FtpDataAddress result;
  result.address = std::to_string(fields[0]) + "." + std::to_string(fields[1]) + "." + std::to_string(fields[2]) +
                   "." + std::to_string(fields[3]);
  result.port = static_cast<uint16_t>(fields[4] * 256 + fields[5]);
  return result;
}

std::string BuildPortCommand(std::string_view server_address, const uint8_t local_address[4], uint16_t port) {
  std::string text = "PORT ";
  if (server_address == "127.0.0.1") {
    text += "127,0,0,1";
  } else {
    for (int i = 0; i < 4; ++i) {
      if (i) text += ',';
      text += std::to_string(local_address[i]);
    }
  }
  text += ',' + std::to_string(port / 256) + ',' + std::to_string(port % 256);
  return text;
}

}  // namespace n2
