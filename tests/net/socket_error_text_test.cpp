#include "net/socket_error_text.h"

#include <gtest/gtest.h>

namespace n2 {
namespace {

TEST(SocketErrorTextTest, DescribesKnownAndUnknownCodes) {
  EXPECT_EQ(SocketErrorDesc(0), "No Error");
  EXPECT_EQ(SocketErrorDesc(10035), "Operation would block");
  EXPECT_EQ(SocketErrorDesc(10047), "Address family not supported by protocol family");
  EXPECT_EQ(SocketErrorDesc(10093), "WinSock not initialized");
  EXPECT_EQ(SocketErrorDesc(11004), "No Data");
  // Codes between and beyond the table's entries.
  EXPECT_EQ(SocketErrorDesc(10072), "Not a WinSock error");
  EXPECT_EQ(SocketErrorDesc(10090), "Not a WinSock error");
  EXPECT_EQ(SocketErrorDesc(11005), "Not a WinSock error");
  EXPECT_EQ(SocketErrorDesc(-1), "Not a WinSock error");
}

TEST(SocketErrorTextTest, FormatsCodeAndCallName) {
  EXPECT_EQ(SocketErrorText(10061), "Connection refused (#10061)");
  EXPECT_EQ(SocketErrorText(11001), "Host not found (#11001)");
  EXPECT_EQ(SocketErrorCallText(10061, "Connect"), "Connection refused (#10061 in Connect)");
  EXPECT_EQ(SocketErrorCallText(10057, "Send"), "Socket is not connected (#10057 in Send)");
  ESocketException error("x");
  EXPECT_STREQ(error.KindName(), "ESocketException");
}

}  // namespace
}  // namespace n2
