#include "settings/mem_ini_file.h"

#include <gtest/gtest.h>

#include "settings/file_name.h"

namespace n2 {
namespace {

TMemIniFile Parse(std::string_view text) {
  TMemIniFile ini;
  ini.SetText(text);
  return ini;
}

TEST(MemIniFile, AnyLineEndEndsALineAndAZeroByteEndsTheText) {
  using namespace std::string_literals;
  TMemIniFile ini = Parse("[Setup]\r\nA=1\nB=2\rC=3\r\rD=4\0E=5\r\n"s);
  EXPECT_EQ(ini.ReadString("Setup", "A", "-"), "1");
  EXPECT_EQ(ini.ReadString("Setup", "B", "-"), "2");
  EXPECT_EQ(ini.ReadString("Setup", "C", "-"), "3");
  EXPECT_EQ(ini.ReadString("Setup", "D", "-"), "4");
  EXPECT_EQ(ini.ReadString("Setup", "E", "-"), "-");
  EXPECT_EQ(ini.Text(), "[Setup]\r\nA=1\r\nB=2\r\nC=3\r\nD=4\r\n\r\n");
}

TEST(MemIniFile, TrimsNamesAndValuesAndDropsCommentsAndTextBeforeTheFirstSection) {
  TMemIniFile ini = Parse(
      "stray=1\r\n; note\r\n\t[  Setup ] \r\n  ; comment\r\n  UserName \t=  a b  \r\nPasswd=\x01secret\x1f\r\n"
      "free text\r\n");
  EXPECT_EQ(ini.ReadString("Setup", "UserName", "-"), "a b");
  EXPECT_EQ(ini.ReadString("Setup", "Passwd", "-"), "secret");
  EXPECT_EQ(ini.ReadString("Setup", "stray", "-"), "-");
  EXPECT_EQ(ini.ReadString("Setup", "free text", "-"), "-");
  EXPECT_EQ(ini.Text(), "[Setup]\r\nUserName=a b\r\nPasswd=secret\r\nfree text\r\n\r\n");
}

TEST(MemIniFile, NamesIgnoreCaseUnlessCaseSensitive) {
  TMemIniFile ini = Parse("[setup]\r\nusername=joe\r\n");
  EXPECT_EQ(ini.ReadString("SETUP", "UserName", "-"), "joe");
  ini.WriteString("Setup", "USERNAME", "ann");
  EXPECT_EQ(ini.Text(), "[setup]\r\nUSERNAME=ann\r\n\r\n");
  ini.SetCaseSensitive(true);
  EXPECT_EQ(ini.ReadString("Setup", "USERNAME", "-"), "-");
  EXPECT_EQ(ini.ReadString("setup", "username", "-"), "-");
  EXPECT_EQ(ini.ReadString("setup", "USERNAME", "-"), "ann");
}

TEST(MemIniFile, OnlyTheFirstEqualsSignSeparatesKeyAndValue) {
  TMemIniFile ini = Parse("[Server]\r\nPath = /a?b=c&d==e \r\n=orphan\r\n");
  EXPECT_EQ(ini.ReadString("Server", "Path", "-"), "/a?b=c&d==e");
  EXPECT_EQ(ini.ReadString("Server", "", "-"), "orphan");
}

TEST(MemIniFile, ADoubledSectionIsKeptAndTheFirstIsUsed) {
  TMemIniFile ini = Parse("[Setup]\r\nA=1\r\nA=2\r\n[Server]\r\nT=0\r\n[SETUP]\r\nA=3\r\nB=4\r\n");
  EXPECT_EQ(ini.ReadString("Setup", "A", "-"), "1");
  EXPECT_EQ(ini.ReadString("Setup", "B", "-"), "-");
  ini.WriteString("setup", "B", "5");
  ini.WriteString("Setup", "A", "9");
  EXPECT_EQ(ini.Text(), "[Setup]\r\nA=9\r\nA=2\r\nB=5\r\n\r\n[Server]\r\nT=0\r\n\r\n[SETUP]\r\nA=3\r\nB=4\r\n\r\n");
}

TEST(MemIniFile, WritesAppendNewSectionsAndKeysAndReplaceOldLinesInPlace) {
  TMemIniFile ini = Parse("[Server]\r\nType=1\r\nPath=/x/\r\n");
  ini.WriteString("Setup", "UserName", " joe ");
  ini.WriteString("Server", "Type", "0");
  ini.WriteString("Server", "ServerName", "host:21");
  EXPECT_EQ(ini.Text(),
            "[Server]\r\nType=0\r\nPath=/x/\r\nServerName=host:21\r\n\r\n[Setup]\r\nUserName= joe \r\n\r\n");
  EXPECT_EQ(ini.ReadString("Setup", "UserName", "-"), " joe ");
  EXPECT_EQ(Parse(ini.Text()).ReadString("Setup", "UserName", "-"), "joe");
}

TEST(MemIniFile, LoadingReplacesEverythingHeldBefore) {
  TMemIniFile ini = Parse("[Setup]\r\nA=1\r\n");
  ini.SetText("");
  EXPECT_EQ(ini.ReadString("Setup", "A", "none"), "none");
  EXPECT_EQ(ini.Text(), "");
}

TEST(FileName, PartsOfAPathStepOverDoubleByteCharacters) {
  // Code page 932: the second bytes of 表 and ソ are that of "\".
  const std::string hyo = "\x95\x5C", so = "\x83\x5C";
  const LeadBytes& cp932 = LeadBytes::Cp932();
  struct Case {
    std::string got, want;
  } cases[] = {
      {ChangeFileExt("C:\\Norvel2\\PlugIns\\N2VelmEn.dll", ".ini", cp932), "C:\\Norvel2\\PlugIns\\N2VelmEn.ini"},
      {ChangeFileExt("C:\\a.b\\plugin", ".ini", cp932), "C:\\a.b\\plugin.ini"},
      {ChangeFileExt("C:\\x\\n.tar.gz", ".ini", cp932), "C:\\x\\n.tar.ini"},
      {ChangeFileExt("C:\\" + hyo + "\\N2VelmEn.dll", ".ini", cp932), "C:\\" + hyo + "\\N2VelmEn.ini"},
      {ChangeFileExt("C:\\x\\" + hyo + "plugin", ".ini", cp932), "C:\\x\\" + hyo + "plugin.ini"},
      {ExtractFilePath("C:\\x\\y.dll", cp932), "C:\\x\\"},
      {ExtractFilePath("C:\\x\\" + hyo + ".dll", cp932), "C:\\x\\"},
      {ExtractFileName("C:\\x\\y.dll", cp932), "y.dll"},
      {ExtractFileName("C:\\" + so + "\\" + hyo + ".dll", cp932), hyo + ".dll"},
      {ExtractFileDir("C:\\x\\y.dll", cp932), "C:\\x"},
      {ExtractFileDir("C:\\y.dll", cp932), "C:\\"},
      {ExtractFileDir("C:\\" + so + "\\y.dll", cp932), "C:\\" + so},
      // In a single-byte code page the same bytes are two characters.
      {ExtractFileName("C:\\x\\" + hyo + ".dll", LeadBytes()), ".dll"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want);
}

}  // namespace
}  // namespace n2
