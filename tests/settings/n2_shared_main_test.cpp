#include "settings/n2_shared_main.h"

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "plugin/plugin_state.h"
#include "base/system_code_page.h"
#include "settings/file_name.h"
#include "sync/n2_shared_dm.h"
#include "sync/n2_shared_thread.h"
#include "tests/support/message_box_watcher.h"
#include "tests/support/test_support.h"

namespace n2 {
namespace {

using n2test::MessageBoxWatcher;
using n2test::PumpMessagesUntil;
using n2test::ReadFileBytes;
using n2test::TempFolder;
using n2test::WriteFileBytes;

constexpr char kAllKeys[] =
    "[Setup]\r\nUserName=joe\r\nPasswd= pw \r\nChkUpload=0\r\nChkAuto=1\r\nChkStart=0\r\nChkClose=1\r\n\r\n"
    "[Server]\r\nType=1\r\nChkPassive=1\r\nServerName=host:8080\r\nPath=/book/?a=b\r\n\r\n";

// The settings file of this executable: its own path with ".ini".
std::string SettingsPath() {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  return ChangeFileExt(path, ".ini", SystemLeadBytes());
}

std::string ClassOf(HWND window) {
  char name[64] = {};
  ::GetClassNameA(window, name, sizeof name);
  return name;
}

void Click(const TControl& control) { ::SendMessageA(control.Handle(), BM_CLICK, 0, 0); }
void Type(const TControl& control, const std::string& text) {
  ::SendMessageA(control.Handle(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}
bool Checked(const TControl& control) { return ::SendMessageA(control.Handle(), BM_GETCHECK, 0, 0) == BST_CHECKED; }

// Clicks the tab of the page control at index, as the mouse would.
void ClickTab(const TFrmN2Shared& form, int index) {
  RECT tab{};
  ::SendMessageA(form.PagConf.Handle(), TCM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&tab));
  LPARAM point = MAKELPARAM((tab.left + tab.right) / 2, (tab.top + tab.bottom) / 2);
  ::SendMessageA(form.PagConf.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, point);
  ::SendMessageA(form.PagConf.Handle(), WM_LBUTTONUP, 0, point);
}

// Hands a key to the dialog the way the host's message loop does.
void PressKey(const TFrmN2Shared& form, WPARAM key) {
  MSG msg{::GetFocus(), WM_KEYDOWN, key, 1, 0, {}};
  if (!::IsDialogMessageA(form.Handle(), &msg)) {
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
  msg.message = WM_KEYUP;
  msg.lParam = static_cast<LPARAM>(0xC0000001u);
  if (!::IsDialogMessageA(form.Handle(), &msg)) ::DispatchMessageA(&msg);
}

class SettingsDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    ::SetFileAttributesA(SettingsPath().c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileA(SettingsPath().c_str());
    ASSERT_FALSE(n2test::PathExists(SettingsPath()));
    AddrBookFolder = data_ / "AddrBook";
    ASSERT_TRUE(::CreateDirectoryA(AddrBookFolder.c_str(), nullptr));
    Ready = false;
    dm_ = std::make_unique<TDmN2>();
    DmN2 = dm_.get();
  }
  void TearDown() override {
    FrmN2Shared = nullptr;
    form_.reset();
    DmN2 = nullptr;
    dm_.reset();
    ::SetFileAttributesA(SettingsPath().c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileA(SettingsPath().c_str());
  }
  TFrmN2Shared& Create() {
    form_ = std::make_unique<TFrmN2Shared>();
    FrmN2Shared = form_.get();
    return *form_;
  }
  // The sixteen controls that follow the busy and idle looks.
  std::vector<const TControl*> Inputs() const {
    const TFrmN2Shared& f = *form_;
    return {&f.EdtUser,   &f.EdtPasswd, &f.ChkUpload, &f.ChkStart, &f.ChkAuto,     &f.ChkClose,
            &f.RdoFtp,    &f.RdoHttp,   &f.EdtServer, &f.EdtPath,  &f.BtnClear,    &f.BtnUpload,
            &f.BtnDownload, &f.BtnOk,   &f.BtnCancel, &f.BtnApply};
  }
  void ExpectIdle() const {
    for (const TControl* control : Inputs()) EXPECT_TRUE(control->Enabled()) << control->Text();
    EXPECT_FALSE(form_->PnlSyori1.Visible());
    EXPECT_FALSE(form_->PnlSyori2.Visible());
  }
  void ExpectBusy(const std::string& status) const {
    for (const TControl* control : Inputs()) EXPECT_FALSE(control->Enabled()) << control->Text();
    EXPECT_TRUE(form_->PnlSyori1.Visible());
    EXPECT_TRUE(form_->PnlSyori2.Visible());
    EXPECT_EQ(form_->LblStatus1.Text(), status);
    EXPECT_EQ(form_->LblStatus2.Text(), status);
    // Passive mode, the pages and the panels' own buttons stay usable.
    EXPECT_EQ(form_->ChkPassive.Enabled(), Checked(form_->RdoFtp));
    EXPECT_TRUE(form_->PagConf.Enabled());
    EXPECT_TRUE(form_->BtnSyori1Cancel.Enabled());
    EXPECT_TRUE(form_->BtnSyori2Cancel.Enabled());
  }

  TempFolder data_;
  std::unique_ptr<TDmN2> dm_;
  std::unique_ptr<TFrmN2Shared> form_;
};

struct Expected {
  const TControl* control;
  const char* window_class;
  const TControl* parent;  // nullptr: the dialog
  int x, y, width, height;  // width 0: sized to its text
  const char* text;
};

TEST_F(SettingsDialog, IsBuiltFromItsLayout) {
  TFrmN2Shared& f = Create();
  char caption[64] = {};
  ::GetWindowTextA(f.Handle(), caption, sizeof caption);
  EXPECT_STREQ(caption, "Norvel2! plug-in Velmora Ver2.10");
  RECT window;
  ::GetWindowRect(f.Handle(), &window);
  EXPECT_EQ(window.right - window.left, 425);
  EXPECT_EQ(window.bottom - window.top, 474);
  EXPECT_EQ(window.left, (::GetSystemMetrics(SM_CXSCREEN) - 425) / 2);
  EXPECT_EQ(window.top, (::GetSystemMetrics(SM_CYSCREEN) - 474) / 2);
  EXPECT_FALSE(f.Visible());

  const Expected table[] = {
      {&f.PagConf, "SysTabControl32", nullptr, 11, 11, 396, 385, ""},
      {&f.GrpAccount, "Button", &f.TabSetup, 21, 21, 343, 140, "Account Infomation"},
      {&f.Label1, "Static", &f.GrpAccount, 21, 32, 0, 0, "Username"},
      {&f.EdtUser, "Edit", &f.GrpAccount, 117, 32, 194, 24, ""},
      {&f.Label2, "Static", &f.GrpAccount, 21, 85, 0, 0, "Password"},
      {&f.EdtPasswd, "Edit", &f.GrpAccount, 117, 85, 194, 24, ""},
      {&f.GroupBox2, "Button", &f.TabSetup, 21, 181, 343, 151, "Synchronization Settings"},
      {&f.ChkUpload, "Button", &f.GroupBox2, 21, 21, 311, 23, "Upload on Updates of address book"},
      {&f.ChkStart, "Button", &f.GroupBox2, 21, 53, 279, 23, "Download on Starting"},
      {&f.ChkAuto, "Button", &f.GroupBox2, 21, 85, 290, 23, "Download on Interval(10 minutes)"},
      {&f.ChkClose, "Button", &f.GroupBox2, 21, 117, 279, 23, "Upload on Shutdown"},
      {&f.PnlSyori1, "N2VelmoraPanel", &f.TabSetup, 53, 85, 279, 172, ""},
      {&f.AnmSyori1, "SysAnimate32", &f.PnlSyori1, 32, 21, 16, 16, ""},
      {&f.LblStatus1, "Static", &f.PnlSyori1, 64, 21, 0, 0, ""},
      {&f.Label8, "Static", &f.PnlSyori1, 64, 61, 0, 0, "is running in the background."},
      {&f.BtnSyori1Cancel, "Button", &f.PnlSyori1, 149, 117, 100, 34, "Cancel"},
      {&f.GroupBox3, "Button", &f.TabServer, 21, 21, 343, 204, "Advanced Server Settings"},
      {&f.Label3, "Static", &f.GroupBox3, 21, 21, 0, 0, "Type"},
      {&f.RdoFtp, "Button", &f.GroupBox3, 96, 21, 65, 23, "FTP"},
      {&f.RdoHttp, "Button", &f.GroupBox3, 96, 53, 65, 23, "HTTP"},
      {&f.ChkPassive, "Button", &f.GroupBox3, 192, 21, 129, 23, "Passive Mode"},
      {&f.Label4, "Static", &f.GroupBox3, 21, 85, 0, 0, "Server"},
      {&f.EdtServer, "Edit", &f.GroupBox3, 96, 85, 225, 24, ""},
      {&f.Label5, "Static", &f.GroupBox3, 21, 117, 0, 0, "Path"},
      {&f.EdtPath, "Edit", &f.GroupBox3, 96, 117, 225, 24, ""},
      {&f.BtnClear, "Button", &f.GroupBox3, 21, 160, 300, 33, "Address book is cleared on the Server"},
      {&f.GroupBox4, "Button", &f.TabServer, 21, 245, 343, 87, "Maintenance"},
      {&f.BtnUpload, "Button", &f.GroupBox4, 21, 32, 140, 33, "Upload Now"},
      {&f.BtnDownload, "Button", &f.GroupBox4, 181, 32, 140, 33, "Download Now"},
      {&f.PnlSyori2, "N2VelmoraPanel", &f.TabServer, 53, 85, 279, 172, ""},
      {&f.AnmSyori2, "SysAnimate32", &f.PnlSyori2, 32, 21, 16, 16, ""},
      {&f.LblStatus2, "Static", &f.PnlSyori2, 64, 21, 0, 0, ""},
      {&f.Label7, "Static", &f.PnlSyori2, 64, 61, 0, 0, "is running in the background."},
      {&f.BtnSyori2Cancel, "Button", &f.PnlSyori2, 149, 117, 100, 34, "Cancel"},
      {&f.BtnOk, "Button", nullptr, 75, 405, 100, 34, "OK"},
      {&f.BtnCancel, "Button", nullptr, 192, 405, 100, 34, "Cancel"},
      {&f.BtnApply, "Button", nullptr, 309, 405, 100, 34, "Apply"},
  };
  for (const Expected& e : table) {
    SCOPED_TRACE(e.text[0] ? e.text : ClassOf(e.control->Handle()));
    HWND parent = e.parent ? e.parent->Handle() : f.Handle();
    EXPECT_EQ(ClassOf(e.control->Handle()), e.window_class);
    EXPECT_EQ(::GetParent(e.control->Handle()), parent);
    RECT rect;
    ::GetWindowRect(e.control->Handle(), &rect);
    ::MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&rect), 2);
    EXPECT_EQ(rect.left, e.x);
    EXPECT_EQ(rect.top, e.y);
    if (e.width) {
      EXPECT_EQ(rect.right - rect.left, e.width);
      EXPECT_EQ(rect.bottom - rect.top, e.height);
    } else if (e.text[0]) {
      EXPECT_GT(rect.right - rect.left, 0);
    }
    EXPECT_EQ(e.control->Text(), e.text);
  }

  // Two pages on the page control, "Setup" first.
  EXPECT_EQ(::SendMessageA(f.PagConf.Handle(), TCM_GETITEMCOUNT, 0, 0), 2);
  for (int i = 0; i < 2; ++i) {
    char text[32] = {};
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    ::SendMessageA(f.PagConf.Handle(), TCM_GETITEMA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
    EXPECT_STREQ(text, i == 0 ? "Setup" : "Other");
  }
  EXPECT_EQ(::GetParent(f.TabSetup.Handle()), f.PagConf.Handle());
  EXPECT_EQ(::GetParent(f.TabServer.Handle()), f.PagConf.Handle());

  // The password shows stars; passive mode is skipped by the Tab key.
  EXPECT_TRUE(::GetWindowLongA(f.EdtPasswd.Handle(), GWL_STYLE) & ES_PASSWORD);
  EXPECT_EQ(::SendMessageA(f.EdtPasswd.Handle(), EM_GETPASSWORDCHAR, 0, 0), '*');
  EXPECT_FALSE(::GetWindowLongA(f.ChkPassive.Handle(), GWL_STYLE) & WS_TABSTOP);

  // Sky-blue panels lying over the group boxes of their page.
  for (const TPanel* panel : {&f.PnlSyori1, &f.PnlSyori2}) {
    EXPECT_EQ(::GetWindow(::GetParent(panel->Handle()), GW_CHILD), panel->Handle());
    HDC dc = ::GetDC(panel->Handle());
    HWND label = ::GetWindow(panel->Handle(), GW_CHILD);
    auto brush = reinterpret_cast<HBRUSH>(
        ::SendMessageA(panel->Handle(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(label)));
    LOGBRUSH info{};
    ASSERT_TRUE(::GetObjectA(brush, sizeof info, &info));
    EXPECT_EQ(info.lbColor, RGB(0xA6, 0xCA, 0xF0));
    EXPECT_EQ(::GetBkColor(dc), RGB(0xA6, 0xCA, 0xF0));
    ::ReleaseDC(panel->Handle(), dc);
  }
}

TEST_F(SettingsDialog, TabOrderFollowsTheLayoutAndSkipsPassiveMode) {
  TFrmN2Shared& f = Create();
  f.Show();
  auto order_from = [&](const TControl& first, size_t count) {
    std::vector<HWND> order{first.Handle()};
    while (order.size() < count) order.push_back(::GetNextDlgTabItem(f.Handle(), order.back(), FALSE));
    return order;
  };
  std::vector<HWND> setup = order_from(f.EdtUser, 10);
  std::vector<HWND> expected_setup = {f.EdtUser.Handle(), f.EdtPasswd.Handle(), f.ChkUpload.Handle(),
                                      f.ChkStart.Handle(), f.ChkAuto.Handle(),   f.ChkClose.Handle(),
                                      f.BtnOk.Handle(),    f.BtnCancel.Handle(), f.BtnApply.Handle(),
                                      f.EdtUser.Handle()};
  EXPECT_EQ(setup, expected_setup);

  ClickTab(f, 1);
  std::vector<HWND> other = order_from(f.RdoFtp, 10);
  std::vector<HWND> expected_other = {f.RdoFtp.Handle(),    f.EdtServer.Handle(), f.EdtPath.Handle(),
                                      f.BtnClear.Handle(),  f.BtnUpload.Handle(), f.BtnDownload.Handle(),
                                      f.BtnOk.Handle(),     f.BtnCancel.Handle(), f.BtnApply.Handle(),
                                      f.RdoFtp.Handle()};
  EXPECT_EQ(other, expected_other);
}

TEST_F(SettingsDialog, WithoutASettingsFileShowsDefaultsAndTheFirstOkCreatesIt) {
  TFrmN2Shared& f = Create();
  EXPECT_TRUE(Ready);
  for (const TEdit* edit : {&f.EdtUser, &f.EdtPasswd, &f.EdtServer, &f.EdtPath}) EXPECT_EQ(edit->Text(), "");
  for (const TCheckBox* box : {&f.ChkUpload, &f.ChkStart, &f.ChkAuto, &f.ChkClose, &f.ChkPassive})
    EXPECT_FALSE(Checked(*box));
  EXPECT_TRUE(Checked(f.RdoFtp));
  EXPECT_FALSE(Checked(f.RdoHttp));
  EXPECT_TRUE(f.ChkPassive.Enabled());
  EXPECT_FALSE(DmN2->NotifyN2.Active());
  EXPECT_EQ(DmN2->NotifyN2.Directory, AddrBookFolder);
  EXPECT_FALSE(n2test::PathExists(SettingsPath()));

  f.Show();
  EXPECT_TRUE(f.Visible());
  Click(f.BtnOk);
  EXPECT_FALSE(f.Visible());
  EXPECT_EQ(ReadFileBytes(SettingsPath()),
            "[Setup]\r\nUserName=\r\nPasswd=\r\nChkUpload=0\r\nChkAuto=0\r\nChkStart=0\r\nChkClose=0\r\n\r\n"
            "[Server]\r\nType=0\r\nChkPassive=0\r\nServerName=\r\nPath=\r\n\r\n");
}

TEST_F(SettingsDialog, ReadsTheSettingsFileBesideTheModuleIntoTheControls) {
  WriteFileBytes(SettingsPath(),
                 "; edited by hand\r\n[setup]\nusername = ann \nPASSWD=  p=w \nChkUpload=\nChkClose=yes\n"
                 "ChkStart=0\nChkAuto= 2\n[Server]\r\nType=2\r\nChkPassive=1\r\nServerName=srv:21\r\n"
                 "Path=/p/?q=1\r\n");
  // A file of the same name in the current folder is not the settings file.
  TempFolder elsewhere;
  WriteFileBytes(elsewhere / ExtractFileName(SettingsPath(), SystemLeadBytes()), "[Setup]\r\nUserName=wrong\r\n");
  char saved[MAX_PATH] = {};
  ::GetCurrentDirectoryA(MAX_PATH, saved);
  ::SetCurrentDirectoryA(elsewhere.Path().c_str());
  TFrmN2Shared& f = Create();
  ::SetCurrentDirectoryA(saved);

  EXPECT_EQ(f.EdtUser.Text(), "ann");
  EXPECT_EQ(f.EdtPasswd.Text(), "p=w");
  EXPECT_TRUE(Checked(f.ChkUpload));
  EXPECT_TRUE(Checked(f.ChkClose));
  EXPECT_FALSE(Checked(f.ChkStart));
  EXPECT_TRUE(Checked(f.ChkAuto));
  EXPECT_FALSE(Checked(f.RdoFtp));
  EXPECT_TRUE(Checked(f.RdoHttp));
  EXPECT_TRUE(Checked(f.ChkPassive));
  EXPECT_FALSE(f.ChkPassive.Enabled());
  EXPECT_EQ(f.EdtServer.Text(), "srv:21");
  EXPECT_EQ(f.EdtPath.Text(), "/p/?q=1");
  EXPECT_TRUE(Ready);
  EXPECT_TRUE(DmN2->NotifyN2.Active());
  EXPECT_EQ(DmN2->NotifyN2.Directory, AddrBookFolder);
  // Reading switches the watcher only; the timer is the start callback's.
  EXPECT_FALSE(DmN2->TimN2.Enabled());
}

TEST_F(SettingsDialog, ASettingsFileThatCannotBeReadShowsTheSystemErrorAndStartsNothing) {
  WriteFileBytes(SettingsPath(), "[Setup]\r\nUserName=ann\r\nChkUpload=1\r\n");
  ScopedHandle locked(::CreateFileA(SettingsPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(locked);
  MessageBoxWatcher boxes;
  TFrmN2Shared& f = Create();
  std::optional<std::string> text = boxes.WaitForBox();
  ASSERT_TRUE(text);
  EXPECT_EQ(text->rfind("Norvel2 plug-in Velmora System Error!\r\nEFOpenError\r\n", 0), 0u) << *text;
  EXPECT_NE(text->find(SettingsPath()), std::string::npos) << *text;
  EXPECT_FALSE(Ready);
  EXPECT_EQ(f.EdtUser.Text(), "");
  EXPECT_TRUE(Checked(f.RdoFtp));
  EXPECT_FALSE(DmN2->NotifyN2.Active());
}

TEST_F(SettingsDialog, CancelKeepsTheEditInTheControlButNotInTheFile) {
  WriteFileBytes(SettingsPath(), kAllKeys);
  TFrmN2Shared& f = Create();
  f.Show();
  ClickTab(f, 1);
  Type(f.EdtServer, "edited:21");
  Click(f.BtnCancel);
  EXPECT_FALSE(f.Visible());
  EXPECT_EQ(f.EdtServer.Text(), "edited:21");
  EXPECT_EQ(ReadFileBytes(SettingsPath()), kAllKeys);
}

TEST_F(SettingsDialog, ApplyAndOkSaveAndSwitchTheTimerAndTheWatcher) {
  WriteFileBytes(SettingsPath(), kAllKeys);
  TFrmN2Shared& f = Create();
  f.Show();
  EXPECT_EQ(f.EdtPasswd.Text(), "pw");
  Type(f.EdtUser, "zed");
  Type(f.EdtPasswd, " p w ");
  Click(f.ChkUpload);
  Click(f.BtnApply);
  EXPECT_TRUE(f.Visible());
  EXPECT_TRUE(DmN2->NotifyN2.Active());
  EXPECT_TRUE(DmN2->TimN2.Enabled());
  EXPECT_EQ(ReadFileBytes(SettingsPath()),
            "[Setup]\r\nUserName=zed\r\nPasswd= p w \r\nChkUpload=1\r\nChkAuto=1\r\nChkStart=0\r\nChkClose=1\r\n\r\n"
            "[Server]\r\nType=1\r\nChkPassive=1\r\nServerName=host:8080\r\nPath=/book/?a=b\r\n\r\n");

  Click(f.ChkUpload);
  Click(f.ChkAuto);
  ClickTab(f, 1);
  Click(f.RdoFtp);
  Click(f.BtnOk);
  EXPECT_FALSE(f.Visible());
  EXPECT_FALSE(DmN2->NotifyN2.Active());
  EXPECT_FALSE(DmN2->TimN2.Enabled());
  EXPECT_EQ(ReadFileBytes(SettingsPath()),
            "[Setup]\r\nUserName=zed\r\nPasswd= p w \r\nChkUpload=0\r\nChkAuto=0\r\nChkStart=0\r\nChkClose=1\r\n\r\n"
            "[Server]\r\nType=0\r\nChkPassive=1\r\nServerName=host:8080\r\nPath=/book/?a=b\r\n\r\n");
}

TEST_F(SettingsDialog, AnUnwritableFileMakesOkShowTheSaveErrorAndChangeNothing) {
  WriteFileBytes(SettingsPath(), kAllKeys);
  ASSERT_TRUE(::SetFileAttributesA(SettingsPath().c_str(), FILE_ATTRIBUTE_READONLY));
  TFrmN2Shared& f = Create();
  f.Show();
  Click(f.ChkUpload);
  Click(f.ChkAuto);
  MessageBoxWatcher boxes;
  Click(f.BtnOk);
  std::optional<std::string> text = boxes.WaitForBox();
  ASSERT_TRUE(text);
  EXPECT_EQ(text->rfind("Norvel2 plug-in Velmora IniFile Save Error!\r\nEFCreateError\r\nCannot create file \"" +
                            SettingsPath() + "\".",
                        0),
            0u)
      << *text;
  EXPECT_TRUE(f.Visible());
  EXPECT_FALSE(DmN2->NotifyN2.Active());
  EXPECT_FALSE(DmN2->TimN2.Enabled());
  EXPECT_EQ(ReadFileBytes(SettingsPath()), kAllKeys);

  // Apply has no message of its own: the error's message is shown as it is.
  Click(f.BtnApply);
  text = boxes.WaitForBox();
  ASSERT_TRUE(text);
  EXPECT_EQ(text->rfind("Cannot create file \"" + SettingsPath() + "\".", 0), 0u) << *text;
  EXPECT_TRUE(f.Visible());
  EXPECT_EQ(boxes.Texts().size(), 2u);
}

TEST_F(SettingsDialog, TheRadioButtonsAreOnePairAndSwitchPassiveModeOnly) {
  WriteFileBytes(SettingsPath(), "[Server]\r\nType=0\r\nChkPassive=1\r\n");
  TFrmN2Shared& f = Create();
  f.Show();
  ClickTab(f, 1);
  Click(f.RdoHttp);
  EXPECT_TRUE(Checked(f.RdoHttp));
  EXPECT_FALSE(Checked(f.RdoFtp));
  EXPECT_FALSE(f.ChkPassive.Enabled());
  EXPECT_TRUE(Checked(f.ChkPassive));
  Click(f.BtnApply);
  EXPECT_NE(ReadFileBytes(SettingsPath()).find("[Server]\r\nType=1\r\nChkPassive=1\r\n"), std::string::npos);
  Click(f.RdoFtp);
  EXPECT_TRUE(Checked(f.RdoFtp));
  EXPECT_FALSE(Checked(f.RdoHttp));
  EXPECT_TRUE(f.ChkPassive.Enabled());
  EXPECT_TRUE(Checked(f.ChkPassive));
}

TEST_F(SettingsDialog, TheManualButtonsShowTheBusyLookWithTheirOperation) {
  TFrmN2Shared& f = Create();
  f.Show();
  ExpectIdle();
  ClickTab(f, 1);
  Ready = false;  // as while a job runs: the buttons show their operation and start nothing
  struct {
    const TButton* button;
    const char* status;
  } operations[] = {{&f.BtnUpload, "Upload of address book"},
                    {&f.BtnDownload, "Download of address book"},
                    {&f.BtnClear, "Cleaning of address book"}};
  for (const auto& operation : operations) {
    SCOPED_TRACE(operation.status);
    f.SetDialogEnabled(true);
    Click(*operation.button);
    ExpectBusy(operation.status);
  }
  f.SetDialogEnabled(true);
  for (const TControl* control : Inputs()) EXPECT_TRUE(control->Enabled());
}

TEST_F(SettingsDialog, EitherPanelsCancelHidesTheDialog) {
  TFrmN2Shared& f = Create();
  for (const TButton* cancel : {&f.BtnSyori1Cancel, &f.BtnSyori2Cancel}) {
    Ready = true;
    f.Show();
    Ready = false;  // as while a job runs: the button starts nothing
    ClickTab(f, cancel == &f.BtnSyori1Cancel ? 0 : 1);
    Click(f.BtnUpload);
    ASSERT_TRUE(::IsWindowVisible(cancel->Handle()));
    Click(*cancel);
    EXPECT_FALSE(f.Visible());
    EXPECT_EQ(f.LblStatus1.Text(), "Upload of address book");
  }
}

TEST_F(SettingsDialog, AlwaysOpensOnTheSetupPage) {
  TFrmN2Shared& f = Create();
  f.Show();
  EXPECT_EQ(f.PagConf.ActivePageIndex(), 0);
  ClickTab(f, 1);
  EXPECT_EQ(f.PagConf.ActivePageIndex(), 1);
  EXPECT_TRUE(f.TabServer.Visible());
  EXPECT_FALSE(f.TabSetup.Visible());
  Click(f.BtnCancel);
  f.Show();
  EXPECT_EQ(f.PagConf.ActivePageIndex(), 0);
  EXPECT_TRUE(f.TabSetup.Visible());
  EXPECT_FALSE(f.TabServer.Visible());
}

TEST_F(SettingsDialog, ActivationShowsTheLookThatReadyGives) {
  TFrmN2Shared& f = Create();
  f.LblStatus1.SetCaption("Download of address book");
  f.LblStatus2.SetCaption("Download of address book");
  Ready = false;
  f.Show();
  ASSERT_EQ(::GetActiveWindow(), f.Handle());
  ExpectBusy("Download of address book");

  Ready = true;
  f.Close();
  f.Show();
  ExpectIdle();
}

TEST_F(SettingsDialog, TheTriggersPutTheDialogIntoItsBusyLook) {
  WriteFileBytes(SettingsPath(), "[Setup]\r\nChkUpload=1\r\n");
  TFrmN2Shared& f = Create();
  f.Show();
  ExpectIdle();
  Ready = false;  // as while a job runs: the triggers start nothing
  WriteFileBytes(AddrBookFolder + "\\entry.txt", "changed");
  ASSERT_TRUE(PumpMessagesUntil([&] { return f.PnlSyori1.Visible(); }));
  ExpectBusy("");

  f.SetDialogEnabled(true);
  f.PnlSyori1.Hide();
  f.PnlSyori2.Hide();
  Click(f.BtnDownload);
  f.SetDialogEnabled(true);
  f.PnlSyori1.Hide();
  f.PnlSyori2.Hide();
  DmN2->TimN2Timer(DmN2->TimN2);
  ExpectBusy("Download of address book");
  EXPECT_EQ(DmN2->TimN2.Interval(), 600000u);
}

TEST_F(SettingsDialog, TheKeyboardMovesThroughTheDialogAndEnterSaves) {
  TFrmN2Shared& f = Create();
  f.Show();
  ::SetFocus(f.EdtUser.Handle());
  ASSERT_EQ(::GetFocus(), f.EdtUser.Handle());
  PressKey(f, VK_TAB);
  EXPECT_EQ(::GetFocus(), f.EdtPasswd.Handle());
  PressKey(f, VK_RETURN);
  EXPECT_FALSE(f.Visible());
  EXPECT_TRUE(n2test::PathExists(SettingsPath()));
  f.Show();
  PressKey(f, VK_ESCAPE);
  EXPECT_FALSE(f.Visible());
}

}  // namespace
}  // namespace n2
