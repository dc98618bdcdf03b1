// Texts of Winsock error codes, as the socket layer and the clients show them.
// Portable: no Windows headers.
#pragma once

#include <string>

#include "base/exception.h"

namespace n2 {

// Errors of the socket layer (refused operations, failed Winsock calls, name
// resolution failures).
N2_DECLARE_EXCEPTION(ESocketException, Exception);

// The description of a Winsock error code: "Connection refused" for 10061,
// "No Error" for 0, "Not a WinSock error" for codes it does not know.
std::string SocketErrorDesc(int code);

// Description, " (#", code, ")": "Connection refused (#10061)".
std::string SocketErrorText(int code);

// The text of a failed call: "Connection refused (#10061 in Connect)".
std::string SocketErrorCallText(int code, const std::string& call);

}  // namespace n2
