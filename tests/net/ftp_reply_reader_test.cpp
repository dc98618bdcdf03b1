#include "net/ftp_reply_reader.h"
#include "net/ftp_reply_values.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace n2 {
namespace {

std::vector<std::string> Lines(FtpReplyReader& reader) {
  std::vector<std::string> lines;
  while (auto line = reader.NextLine()) lines.push_back(*line);
  return lines;
}

TEST(FtpReplyReader, SplitsCrLfAndLfOnlyLinesAndKeepsPartialRest) {
  FtpReplyReader reader(true);
  reader.Append("220-Welcome\r\n220-second\n220 ready\r\r\n331 Pa");
  EXPECT_EQ(Lines(reader), (std::vector<std::string>{"220-Welcome", "220-second", "220 ready"}));
  EXPECT_EQ(reader.Fill(), 6u);
  reader.Append("ssword required\r\n");
  EXPECT_EQ(Lines(reader), (std::vector<std::string>{"331 Password required"}));
  EXPECT_EQ(reader.Fill(), 0u);
}

TEST(FtpReplyReader, WithoutAcceptLfOnlyCrLfEndsALine) {
  FtpReplyReader reader(false);
  reader.Append("220 one\n220 still one\r\n");
  EXPECT_EQ(Lines(reader), (std::vector<std::string>{"220 one\n220 still one"}));
}

TEST(FtpReplyReader, ByteByByteArrivalGivesTheSameLines) {
  FtpReplyReader reader(true);
  std::string input = "150 Opening\r\n226 Done\n";
  std::vector<std::string> lines;
  for (char c : input) {
    reader.Append(std::string_view(&c, 1));
    for (auto& l : Lines(reader)) lines.push_back(l);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"150 Opening", "226 Done"}));
}

TEST(FtpReplyReader, OverlongLineFillsTheBufferAndIsReportedNotReturned) {
  FtpReplyReader reader(true);
  std::string big(5000, 'x');
  EXPECT_EQ(reader.Append(big), FtpReplyReader::kMaxFill);
  EXPECT_EQ(reader.WriteSpace(), 0u);
  EXPECT_FALSE(reader.NextLine());
  EXPECT_TRUE(reader.Overflowed());
}

TEST(FtpReplyReader, LineOfExactlyTheBufferSizeIsStillRead) {
  FtpReplyReader reader(true);
  std::string line(FtpReplyReader::kMaxFill - 1, 'a');
  reader.Append(line + "\n");
  EXPECT_FALSE(reader.Overflowed());
  auto got = reader.NextLine();
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, line);
}

TEST(FtpReplyLine, CodesContinuationAndTextLines) {
  auto final_line = ParseReplyLine("226 Transfer complete");
  EXPECT_TRUE(final_line.IsFinal());
  EXPECT_EQ(final_line.code, 226);
  auto continued = ParseReplyLine("220-Hello");
  EXPECT_TRUE(continued.has_code);
  EXPECT_TRUE(continued.continued);
  EXPECT_FALSE(continued.IsFinal());
  EXPECT_FALSE(ParseReplyLine(" 220 indented text").has_code);
  EXPECT_FALSE(ParseReplyLine("Hello").has_code);
  EXPECT_FALSE(ParseReplyLine("").has_code);
  auto bare = ParseReplyLine("421");
  EXPECT_TRUE(bare.IsFinal());
  EXPECT_EQ(bare.code, 421);
  EXPECT_EQ(ParseReplyLine("99999999999999 huge").code >= 0, true);
}

TEST(FtpReplyValues, SizeAndTimeAreReadOnlyFromTheirForm) {
  EXPECT_EQ(ParseSizeReply("213 0"), 0);
  EXPECT_EQ(ParseSizeReply("213  9223372036854775807 "), INT64_MAX);
  for (const char* bad : {"213 9223372036854775808", "213 -1", "213 12 34", "213 12a", "213", "2131234", "213 "})
    EXPECT_FALSE(ParseSizeReply(bad)) << bad;
  EXPECT_EQ(ParseMdtmReply("213 20261208082035"), "20261208082035");
  EXPECT_EQ(ParseMdtmReply("213 20261208082035.123 "), "20261208082035.123");
  for (const char* bad : {"213 2026120808203", "213 202612080820351", "213 20261208082035.", "213 20261208082035Z"})
    EXPECT_FALSE(ParseMdtmReply(bad)) << bad;
}

}  // namespace
}  // namespace n2
