// The two texts that name an FTP data connection: the address and port that a
// server gives in its 227 reply to PASV, and the PORT command with which the
// client names its own listening port.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace n2 {

struct FtpDataAddress {
  std::string address;  // dotted, "h1.h2.h3.h4"
  uint16_t port = 0;
};

// Reads "... (h1,h2,h3,h4,p1,p2)..." from a 227 reply: everything up to the
// first "(" is skipped. Empty when the six numbers cannot be read or do not fit
// in a byte each. The client takes only the port: its data connection goes to
// the server that its control connection is connected to.
std::optional<FtpDataAddress> ParsePasvReply(std::string_view reply);

// "PORT h1,h2,h3,h4,p1,p2": the local address of the control connection (most
// significant byte first), or 127,0,0,1 when the server is reached at
// 127.0.0.1; p1 and p2 are the port divided by 256 and its remainder.
std::string BuildPortCommand(std::string_view server_address, const uint8_t local_address[4], uint16_t port);

}  // namespace n2
