#include "net/ftp_data_address.h"

#include <gtest/gtest.h>

namespace n2 {
namespace {

TEST(FtpPasvReply, ReadsAddressAndPort) {
  auto a = ParsePasvReply("227 Entering Passive Mode (127,0,0,2,195,80).");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->address, "127.0.0.2");
  EXPECT_EQ(a->port, 195 * 256 + 80);
  auto b = ParsePasvReply("227 =(10, 1, 2, 3, 0, 21)");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->address, "10.1.2.3");
  EXPECT_EQ(b->port, 21);
}

TEST(FtpPasvReply, RejectsTextsWithoutSixByteNumbers) {
  EXPECT_FALSE(ParsePasvReply("227 Entering Passive Mode 127,0,0,1,4,1"));
  EXPECT_FALSE(ParsePasvReply("227 (127,0,0,1,4)"));
  EXPECT_FALSE(ParsePasvReply("227 (127,0,0,1,4,1"));
  EXPECT_FALSE(ParsePasvReply("227 (127,0,0,256,4,1)"));
  EXPECT_FALSE(ParsePasvReply("227 (127,0,x,1,4,1)"));
  EXPECT_FALSE(ParsePasvReply("227 (1270,0,0,1,4,1)"));
  EXPECT_FALSE(ParsePasvReply(""));
}

TEST(FtpPortCommand, LoopbackServerOrLocalAddress) {
  const uint8_t local[4] = {192, 168, 1, 20};
  EXPECT_EQ(BuildPortCommand("127.0.0.1", local, 50000), "PORT 127,0,0,1,195,80");
  EXPECT_EQ(BuildPortCommand("10.0.0.5", local, 21), "PORT 192,168,1,20,0,21");
  EXPECT_EQ(BuildPortCommand("10.0.0.5", local, 65535), "PORT 192,168,1,20,255,255");
}

}  // namespace
}  // namespace n2
