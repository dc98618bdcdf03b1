#include "net/ftp_reply_reader.h"

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

}  // namespace
}  // namespace n2
