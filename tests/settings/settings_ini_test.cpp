#include "settings/settings_ini.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "base/exception.h"
#include "base/scoped_handle.h"
#include "base/system_code_page.h"
#include "settings/file_name.h"
#include "tests/support/test_support.h"

namespace n2 {
namespace {

using n2test::ReadFileBytes;
using n2test::TempFolder;
using n2test::WriteFileBytes;

std::string ExecutablePath() {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
}

// The component configured as the settings dialog configures it, on path.
struct Ini {
  explicit Ini(const std::string& path) {
    ini.SetAutoUpdate(false);
    ini.SetCaseSensitive(false);
    ini.SetDefaultFolder(TDefaultFolder::dfUser);
    ini.SetUpdateAtOnce(true);
    ini.OnUpdate = [this](TSettingsIni&) { ++updates; };
    ini.SetFileName(path);
  }
  TSettingsIni ini;
  int updates = 0;
};

// The ten keys, written as the dialog's save step writes them.
void WriteAll(TSettingsIni& ini, const std::string& user) {
  ini.WriteValue("Setup", "UserName", user);
  ini.WriteValue("Setup", "Passwd", "pw");
  ini.WriteValue("Setup", "ChkUpload", "1");
  ini.WriteValue("Setup", "ChkAuto", "0");
  ini.WriteValue("Setup", "ChkStart", "0");
  ini.WriteValue("Setup", "ChkClose", "1");
  ini.WriteValue("Server", "Type", "0");
  ini.WriteValue("Server", "ChkPassive", "1");
  ini.WriteValue("Server", "ServerName", "host:21");
  ini.WriteValue("Server", "Path", "/a/");
  ini.SaveFile();
}

constexpr char kAllKeys[] =
    "[Setup]\r\nUserName=joe\r\nPasswd=pw\r\nChkUpload=1\r\nChkAuto=0\r\nChkStart=0\r\nChkClose=1\r\n\r\n"
    "[Server]\r\nType=0\r\nChkPassive=1\r\nServerName=host:21\r\nPath=/a/\r\n\r\n";

TEST(SettingsIni, StartsBesideTheExecutableWithItsNameAndIni) {
  TSettingsIni ini;
  ini.SetAutoUpdate(false);
  EXPECT_EQ(ini.FullPath(), ChangeFileExt(ExecutablePath(), ".ini", SystemLeadBytes()));
  EXPECT_EQ(ini.DefaultFolder(), TDefaultFolder::dfApplication);
  EXPECT_FALSE(ini.UpdateAtOnce());
  EXPECT_FALSE(ini.CaseSensitive());
}

TEST(SettingsIni, AFirstSaveWritesBothSectionsInOrderElevenTimes) {
  TempFolder folder;
  Ini file(folder / "N2VelmEn.ini");
  EXPECT_EQ(file.ini.ReadValue("Setup", "UserName", "none"), "none");
  WriteAll(file.ini, "joe");
  EXPECT_EQ(file.updates, 11);
  EXPECT_EQ(ReadFileBytes(folder / "N2VelmEn.ini"), kAllKeys);

  // Saving again over the same values gives the same bytes.
  WriteAll(file.ini, "joe");
  EXPECT_EQ(ReadFileBytes(folder / "N2VelmEn.ini"), kAllKeys);
}

TEST(SettingsIni, ReadsAnyLineEndAndStopsAtAZeroByte) {
  TempFolder folder;
  using namespace std::string_literals;
  WriteFileBytes(folder / "s.ini", "junk\n[setup]\rusername = joe \n;c\r\nPasswd=a=b\r\n[Server]\r\nType=\0x=1\r\n"s);
  Ini file(folder / "s.ini");
  EXPECT_EQ(file.ini.ReadValue("Setup", "UserName", ""), "joe");
  EXPECT_EQ(file.ini.ReadValue("SETUP", "PASSWD", ""), "a=b");
  EXPECT_EQ(file.ini.ReadValue("Server", "Type", "0"), "");
  EXPECT_EQ(file.ini.ReadValue("Server", "x", "none"), "none");
  file.ini.SaveFile();
  EXPECT_EQ(ReadFileBytes(folder / "s.ini"),
            "[setup]\r\nusername=joe\r\nPasswd=a=b\r\n\r\n[Server]\r\nType=\r\n\r\n");
}

TEST(SettingsIni, WritesAtOnceOnlyWhenAsked) {
  TempFolder folder;
  Ini file(folder / "s.ini");
  file.ini.SetUpdateAtOnce(false);
  file.ini.WriteValue("Setup", "UserName", "joe");
  EXPECT_FALSE(n2test::PathExists(folder / "s.ini"));
  EXPECT_EQ(file.updates, 0);
  file.ini.SaveFile();
  EXPECT_EQ(ReadFileBytes(folder / "s.ini"), "[Setup]\r\nUserName=joe\r\n\r\n");
  EXPECT_EQ(file.updates, 1);
}

TEST(SettingsIni, AFileThatCannotBeWrittenFailsAtTheFirstKeyAndStaysWhole) {
  TempFolder folder;
  std::string path = folder / "s.ini";
  WriteFileBytes(path, kAllKeys);
  ASSERT_TRUE(::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
  Ini file(path);
  try {
    file.ini.WriteValue("Setup", "UserName", "ann");
    ADD_FAILURE() << "the write succeeded";
  } catch (const Exception& error) {
    EXPECT_STREQ(error.KindName(), "EFCreateError");
    EXPECT_NE(error.Message().find(path), std::string::npos) << error.Message();
  }
  EXPECT_EQ(file.updates, 0);
  EXPECT_EQ(file.ini.ReadValue("Setup", "UserName", ""), "ann");
  EXPECT_EQ(ReadFileBytes(path), kAllKeys);
  EXPECT_FALSE(n2test::PathExists(path + ".n2tmp"));
  ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(SettingsIni, AFileHeldOpenWithoutSharingFailsTheWriteAndStaysWhole) {
  TempFolder folder;
  std::string path = folder / "s.ini";
  WriteFileBytes(path, kAllKeys);
  Ini file(path);
  ScopedHandle held(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  EXPECT_THROW(file.ini.WriteValue("Setup", "UserName", "ann"), EFCreateError);
  held.Close();
  EXPECT_EQ(ReadFileBytes(path), kAllKeys);
}

TEST(SettingsIni, AFolderInThePlaceOfTheFileFailsTheWrite) {
  TempFolder folder;
  ASSERT_TRUE(::CreateDirectoryA((folder / "s.ini").c_str(), nullptr));
  Ini file(folder / "s.ini");
  EXPECT_THROW(file.ini.WriteValue("Setup", "UserName", "ann"), EFCreateError);
  EXPECT_TRUE(n2test::PathExists(folder / "s.ini"));
}

TEST(SettingsIni, ChangingTheFileReloadsAndRaisesOnLoad) {
  TempFolder folder;
  WriteFileBytes(folder / "a.ini", "[Setup]\r\nUserName=a\r\n");
  int loads = 0;
  TSettingsIni ini;
  ini.SetAutoUpdate(false);
  ini.OnLoad = [&](TSettingsIni&) { ++loads; };
  ini.SetDefaultFolder(TDefaultFolder::dfUser);
  ini.SetFileName(folder / "a.ini");
  EXPECT_EQ(loads, 2);
  EXPECT_EQ(ini.ReadValue("Setup", "UserName", ""), "a");
  ini.SetFileName(folder / "missing.ini");
  EXPECT_EQ(ini.ReadValue("Setup", "UserName", "none"), "none");
  EXPECT_EQ(loads, 3);
}

TEST(SettingsIni, TheFolderChoiceDecidesWhereANameLives) {
  TempFolder folder;
  char saved[MAX_PATH] = {};
  ::GetCurrentDirectoryA(MAX_PATH, saved);
  ASSERT_TRUE(::SetCurrentDirectoryA(folder.Path().c_str()));
  WriteFileBytes(folder / "rel.ini", "[Setup]\r\nUserName=here\r\n");
  {
    TSettingsIni ini;
    ini.SetAutoUpdate(false);
    ini.SetDefaultFolder(TDefaultFolder::dfUser);
    ini.SetFileName("rel.ini");
    EXPECT_EQ(ini.FullPath(), "rel.ini");
    EXPECT_EQ(ini.ReadValue("Setup", "UserName", ""), "here");
    ini.SetDefaultFolder(TDefaultFolder::dfApplication);
    const LeadBytes& lead = SystemLeadBytes();
    EXPECT_EQ(ini.FullPath(), ExtractFilePath(ExecutablePath(), lead) + "rel.ini");
    ini.SetDefaultFolder(TDefaultFolder::dfWindows);
    char windows[MAX_PATH] = {};
    ::GetWindowsDirectoryA(windows, MAX_PATH);
    EXPECT_EQ(ini.FullPath(), IncludeTrailingBackslash(windows, lead) + "rel.ini");
    ini.SetDefaultFolder(TDefaultFolder::dfAppData);
    std::string sub = ExtractFilePath(ini.FullPath(), lead);
    EXPECT_EQ(ExtractFileName(ExtractFileDir(sub, lead), lead),
              ChangeFileExt(ExtractFileName(ExecutablePath(), lead), "", lead));
    EXPECT_TRUE(n2test::PathExists(sub));
    ::RemoveDirectoryA(sub.c_str());
  }
  ::SetCurrentDirectoryA(saved);
}

TEST(SettingsIni, DestructionWritesOnlyWithAutoUpdate) {
  TempFolder folder;
  {
    Ini file(folder / "off.ini");
    file.ini.SetUpdateAtOnce(false);
    file.ini.WriteValue("Setup", "A", "1");
  }
  EXPECT_FALSE(n2test::PathExists(folder / "off.ini"));
  {
    Ini file(folder / "on.ini");
    file.ini.SetUpdateAtOnce(false);
    file.ini.SetAutoUpdate(true);
    file.ini.WriteValue("Setup", "A", "1");
  }
  EXPECT_EQ(ReadFileBytes(folder / "on.ini"), "[Setup]\r\nA=1\r\n\r\n");
}

}  // namespace
}  // namespace n2
