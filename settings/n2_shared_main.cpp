#include "settings/n2_shared_main.h"

#include <commctrl.h>

#include "base/exception.h"
#include "base/hidden_window.h"
#include "base/message_box.h"
#include "plugin/plugin_state.h"
#include "base/system_code_page.h"
#include "settings/file_name.h"
#include "sync/n2_shared_dm.h"
#include "sync/n2_shared_thread.h"

namespace n2 {

TFrmN2Shared* FrmN2Shared = nullptr;

namespace {

constexpr char kFormClass[] = "TFrmN2Shared";
constexpr char kSheetClass[] = "N2VelmoraTabSheet";
constexpr char kPanelClass[] = "N2VelmoraPanel";
constexpr char kCaption[] = "Norvel2! plug-in Velmora Ver2.10";
constexpr int kFormWidth = 425;
constexpr int kFormHeight = 474;
const COLORREF kSkyBlue = RGB(0xA6, 0xCA, 0xF0);

constexpr char kSystemError[] = "Norvel2 plug-in Velmora System Error!\r\n";
constexpr char kSaveError[] = "Norvel2 plug-in Velmora IniFile Save Error!\r\n";

// The shell's "find computer" animation.
constexpr WORD kFindComputerAvi = 152;

enum ControlId : int {
  kIdBtnOk = IDOK,
  kIdBtnCancel = IDCANCEL,
  kIdBtnApply = 100,
  kIdEdtUser,
  kIdEdtPasswd,
  kIdChkUpload,
  kIdChkStart,
  kIdChkAuto,
  kIdChkClose,
  kIdBtnSyori1Cancel,
  kIdRdoFtp,
  kIdRdoHttp,
  kIdChkPassive,
  kIdEdtServer,
  kIdEdtPath,
  kIdBtnClear,
  kIdBtnUpload,
  kIdBtnDownload,
  kIdBtnSyori2Cancel,
  kIdPagConf,
  kIdAnmSyori1,
  kIdAnmSyori2,
};

const char* Flag(const TCheckBox& box) { return box.Checked() ? "1" : "0"; }
bool IsChecked(const std::string& value) { return value != "0"; }

// The settings file: the module's own path with its extension replaced by ".ini".
std::string SettingsFilePath() {
  char buffer[MAX_PATH] = {};
  DWORD length = ::GetModuleFileNameA(ThisModule(), buffer, MAX_PATH);
  return ChangeFileExt(std::string(buffer, length < MAX_PATH ? length : MAX_PATH), ".ini", SystemLeadBytes());
}

HBRUSH SkyBlueBrush() {
  static HBRUSH brush = ::CreateSolidBrush(kSkyBlue);
  return brush;
}

WNDPROC group_box_proc = nullptr;

// Tab sheets, group boxes and panels hold controls of their own; what those
// controls tell their parent goes on to the dialog, which handles it all.
bool ForwardToForm(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) {
  switch (message) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      result = ::SendMessageA(::GetAncestor(window, GA_ROOT), message, wparam, lparam);
      return true;
    default:
      return false;
  }
}

LRESULT CALLBACK GroupBoxProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  LRESULT result = 0;
  if (ForwardToForm(window, message, wparam, lparam, result)) return result;
  // The system's group box draws its frame only; the page behind it is
  // clipped away, so the box fills its inside itself.
  if (message == WM_ERASEBKGND) {
    RECT rect;
    ::GetClientRect(window, &rect);
    ::FillRect(reinterpret_cast<HDC>(wparam), &rect, ::GetSysColorBrush(COLOR_BTNFACE));
    return 1;
  }
  return ::CallWindowProcA(group_box_proc, window, message, wparam, lparam);
}

LRESULT CALLBACK ContainerProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  LRESULT result = 0;
  if (ForwardToForm(window, message, wparam, lparam, result)) return result;
  if (::GetWindowLongPtrA(window, GWLP_USERDATA) == 0) return ::DefWindowProcA(window, message, wparam, lparam);
  // A panel: sky blue inside a lowered outer and inner bevel.
  switch (message) {
    case WM_ERASEBKGND: {
      RECT rect;
      ::GetClientRect(window, &rect);
      ::FillRect(reinterpret_cast<HDC>(wparam), &rect, SkyBlueBrush());
      return 1;
    }
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = ::BeginPaint(window, &paint);
      RECT rect;
      ::GetClientRect(window, &rect);
      ::DrawEdge(dc, &rect, BDR_SUNKENOUTER | BDR_SUNKENINNER, BF_RECT);
      ::EndPaint(window, &paint);
      return 0;
    }
    default:
      return ::DefWindowProcA(window, message, wparam, lparam);
  }
}

void RegisterClasses() {
  static bool registered = false;
  if (registered) return;
  INITCOMMONCONTROLSEX common{sizeof common, ICC_TAB_CLASSES | ICC_ANIMATE_CLASS | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&common);

  WNDCLASSA form{};
  form.lpfnWndProc = &::DefWindowProcA;
  form.hInstance = ThisModule();
  form.hIcon = ::LoadIconA(nullptr, IDI_APPLICATION);
  form.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
  form.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  form.lpszClassName = kFormClass;
  WNDCLASSA sheet = form;
  sheet.hIcon = nullptr;
  sheet.lpfnWndProc = &ContainerProc;
  sheet.lpszClassName = kSheetClass;
  WNDCLASSA panel = sheet;
  panel.lpszClassName = kPanelClass;
  for (WNDCLASSA* window_class : {&form, &sheet, &panel}) {
    if (!::RegisterClassA(window_class) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
      throw Exception("Cannot register the window class " + std::string(window_class->lpszClassName));
  }
  registered = true;
}

}  // namespace

TFrmN2Shared::TFrmN2Shared() {
  RegisterClasses();
  NONCLIENTMETRICSA metrics{};
  metrics.cbSize = sizeof metrics;
  if (::SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
    font_ = ::CreateFontIndirectA(&metrics.lfMessageFont);
  if (!font_) font_ = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));

  int left = (::GetSystemMetrics(SM_CXSCREEN) - kFormWidth) / 2;
  int top = (::GetSystemMetrics(SM_CYSCREEN) - kFormHeight) / 2;
  window_.Attach(::CreateWindowExA(WS_EX_CONTROLPARENT, kFormClass, kCaption,
                                   WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN,
                                   left, top, kFormWidth, kFormHeight, nullptr, nullptr, ThisModule(), nullptr));
  if (!window_) throw Exception("Cannot create the settings dialog, error " + std::to_string(::GetLastError()));
  ::SetWindowLongPtrA(window_.Get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  ::SetWindowLongPtrA(window_.Get(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TFrmN2Shared::WndProc));
  CreateControls();
  keyboard_hook_.Attach(::SetWindowsHookExA(WH_GETMESSAGE, &TFrmN2Shared::KeyboardHook, nullptr,
                                            ::GetCurrentThreadId()));
  FormCreate();
}

LRESULT CALLBACK TFrmN2Shared::KeyboardHook(int code, WPARAM wparam, LPARAM lparam) {
  auto* msg = reinterpret_cast<MSG*>(lparam);
  if (code == HC_ACTION && wparam == PM_REMOVE && msg->message >= WM_KEYFIRST && msg->message <= WM_KEYLAST &&
      msg->hwnd) {
    HWND root = ::GetAncestor(msg->hwnd, GA_ROOT);
    char class_name[64] = {};
    ::GetClassNameA(root, class_name, sizeof class_name);
    // The message is used up here; the host's loop then dispatches nothing.
    if (std::string(class_name) == kFormClass && ::IsDialogMessageA(root, msg)) msg->message = WM_NULL;
  }
  return ::CallNextHookEx(nullptr, code, wparam, lparam);
}

TFrmN2Shared::~TFrmN2Shared() {
  if (DmN2 && DmN2->FrontEnd == this) DmN2->FrontEnd = nullptr;
  keyboard_hook_.Close();
  if (window_) ::SetWindowLongPtrA(window_.Get(), GWLP_USERDATA, 0);
  window_.Close();
  if (font_ != ::GetStockObject(DEFAULT_GUI_FONT)) ::DeleteObject(font_);
}

void TFrmN2Shared::CreateControls() {
  auto make = [this](TControl& control, const char* window_class, const char* text, DWORD style, HWND parent, int x,
                     int y, int width, int height, int id = 0, DWORD ex_style = 0) {
    HWND handle = ::CreateWindowExA(ex_style, window_class, text, WS_CHILD | WS_CLIPSIBLINGS | style, x, y, width,
                                    height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ThisModule(),
                                    nullptr);
    if (!handle) throw Exception("Cannot create a control of the settings dialog, error " +
                                 std::to_string(::GetLastError()));
    ::SendMessageA(handle, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    control.Attach(handle);
  };
  auto label = [&](TLabel& control, const char* text, HWND parent, int x, int y) {
    make(control, "STATIC", text, WS_VISIBLE | SS_LEFT | SS_NOPREFIX, parent, x, y, 0, 0);
    control.SetCaption(text);
  };
  auto group = [&](TGroupBox& control, const char* text, HWND parent, int x, int y, int width, int height) {
    make(control, "BUTTON", text, WS_VISIBLE | BS_GROUPBOX, parent, x, y, width, height, 0, WS_EX_CONTROLPARENT);
    WNDPROC old = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrA(control.Handle(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&GroupBoxProc)));
    if (!group_box_proc) group_box_proc = old;
  };
  auto edit = [&](TEdit& control, HWND parent, int x, int y, int width, int height, int id, DWORD style = 0) {
    make(control, "EDIT", "", WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL | style, parent, x, y, width, height, id,
         WS_EX_CLIENTEDGE);
  };
  auto check = [&](TCheckBox& control, const char* text, HWND parent, int x, int y, int width, int height, int id,
                   DWORD tab_stop = WS_TABSTOP) {
    make(control, "BUTTON", text, WS_VISIBLE | tab_stop | BS_AUTOCHECKBOX, parent, x, y, width, height, id);
  };
  auto button = [&](TControl& control, const char* text, HWND parent, int x, int y, int width, int height, int id,
                    DWORD style = BS_PUSHBUTTON) {
    make(control, "BUTTON", text, WS_VISIBLE | WS_TABSTOP | style, parent, x, y, width, height, id);
  };
  auto panel = [&](TPanel& control, TAnimate& animation, int animation_id, TLabel& status, TLabel& note,
                   TButton& cancel, int cancel_id, HWND parent) {
    make(control, kPanelClass, "", 0, parent, 53, 85, 279, 172, 0, WS_EX_CONTROLPARENT);
    ::SetWindowLongPtrA(control.Handle(), GWLP_USERDATA, 1);
    make(animation, ANIMATE_CLASSA, "", WS_VISIBLE | ACS_CENTER | ACS_TRANSPARENT, control.Handle(), 32, 21, 16, 16,
         animation_id);
    if (::SendMessageA(animation.Handle(), ACM_OPENA, reinterpret_cast<WPARAM>(::GetModuleHandleA("shell32.dll")),
                       reinterpret_cast<LPARAM>(MAKEINTRESOURCEA(kFindComputerAvi)))) {
    // Frames 1 to 8 over and over; a shorter clip plays whole.
    if (!::SendMessageA(animation.Handle(), ACM_PLAY, static_cast<WPARAM>(-1), MAKELPARAM(0, 7)))
      ::SendMessageA(animation.Handle(), ACM_PLAY, static_cast<WPARAM>(-1), MAKELPARAM(0, 0xFFFF));
  }
    make(status, "STATIC", "", WS_VISIBLE | SS_LEFT | SS_NOPREFIX, control.Handle(), 64, 21, 0, 0);
    status.SetCaption("");
    label(note, "is running in the background.", control.Handle(), 64, 61);
    button(cancel, "Cancel", control.Handle(), 149, 117, 100, 34, cancel_id);
    // The panel lies over the group boxes of its page.
    ::SetWindowPos(control.Handle(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  };

  HWND form = window_.Get();
  make(PagConf, WC_TABCONTROLA, "", WS_VISIBLE | WS_TABSTOP | WS_CLIPCHILDREN, form, 11, 11, 396, 385, kIdPagConf,
       WS_EX_CONTROLPARENT);
  TCITEMA item{};
  item.mask = TCIF_TEXT;
  item.pszText = const_cast<char*>("Setup");
  ::SendMessageA(PagConf.Handle(), TCM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
  item.pszText = const_cast<char*>("Other");
  ::SendMessageA(PagConf.Handle(), TCM_INSERTITEMA, 1, reinterpret_cast<LPARAM>(&item));
  RECT page{0, 0, 396, 385};
  ::SendMessageA(PagConf.Handle(), TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&page));
  auto sheet = [&](TTabSheet& control, DWORD visible) {
    make(control, kSheetClass, "", visible | WS_CLIPCHILDREN, PagConf.Handle(), page.left, page.top,
         page.right - page.left, page.bottom - page.top, 0, WS_EX_CONTROLPARENT);
  };

  sheet(TabSetup, WS_VISIBLE);
  group(GrpAccount, "Account Infomation", TabSetup.Handle(), 21, 21, 343, 140);
  label(Label1, "Username", GrpAccount.Handle(), 21, 32);
  edit(EdtUser, GrpAccount.Handle(), 117, 32, 194, 24, kIdEdtUser);
  label(Label2, "Password", GrpAccount.Handle(), 21, 85);
  edit(EdtPasswd, GrpAccount.Handle(), 117, 85, 194, 24, kIdEdtPasswd, ES_PASSWORD);
  ::SendMessageA(EdtPasswd.Handle(), EM_SETPASSWORDCHAR, '*', 0);
  group(GroupBox2, "Synchronization Settings", TabSetup.Handle(), 21, 181, 343, 151);
  check(ChkUpload, "Upload on Updates of address book", GroupBox2.Handle(), 21, 21, 311, 23, kIdChkUpload);
  check(ChkStart, "Download on Starting", GroupBox2.Handle(), 21, 53, 279, 23, kIdChkStart);
  check(ChkAuto, "Download on Interval(10 minutes)", GroupBox2.Handle(), 21, 85, 290, 23, kIdChkAuto);
  check(ChkClose, "Upload on Shutdown", GroupBox2.Handle(), 21, 117, 279, 23, kIdChkClose);
  panel(PnlSyori1, AnmSyori1, kIdAnmSyori1, LblStatus1, Label8, BtnSyori1Cancel, kIdBtnSyori1Cancel,
        TabSetup.Handle());

  sheet(TabServer, 0);
  group(GroupBox3, "Advanced Server Settings", TabServer.Handle(), 21, 21, 343, 204);
  label(Label3, "Type", GroupBox3.Handle(), 21, 21);
  button(RdoFtp, "FTP", GroupBox3.Handle(), 96, 21, 65, 23, kIdRdoFtp, BS_RADIOBUTTON | WS_GROUP);
  button(RdoHttp, "HTTP", GroupBox3.Handle(), 96, 53, 65, 23, kIdRdoHttp, BS_RADIOBUTTON);
  check(ChkPassive, "Passive Mode", GroupBox3.Handle(), 192, 21, 129, 23, kIdChkPassive, WS_GROUP);
  label(Label4, "Server", GroupBox3.Handle(), 21, 85);
  edit(EdtServer, GroupBox3.Handle(), 96, 85, 225, 24, kIdEdtServer);
  label(Label5, "Path", GroupBox3.Handle(), 21, 117);
  edit(EdtPath, GroupBox3.Handle(), 96, 117, 225, 24, kIdEdtPath);
  button(BtnClear, "Address book is cleared on the Server", GroupBox3.Handle(), 21, 160, 300, 33, kIdBtnClear);
  group(GroupBox4, "Maintenance", TabServer.Handle(), 21, 245, 343, 87);
  button(BtnUpload, "Upload Now", GroupBox4.Handle(), 21, 32, 140, 33, kIdBtnUpload);
  button(BtnDownload, "Download Now", GroupBox4.Handle(), 181, 32, 140, 33, kIdBtnDownload);
  panel(PnlSyori2, AnmSyori2, kIdAnmSyori2, LblStatus2, Label7, BtnSyori2Cancel, kIdBtnSyori2Cancel,
        TabServer.Handle());

  button(BtnOk, "OK", form, 75, 405, 100, 34, kIdBtnOk, BS_DEFPUSHBUTTON);
  button(BtnCancel, "Cancel", form, 192, 405, 100, 34, kIdBtnCancel);
  button(BtnApply, "Apply", form, 309, 405, 100, 34, kIdBtnApply);
  SelectConnection(true);
}

void TFrmN2Shared::Show() {
  ::ShowWindow(window_.Get(), ::IsIconic(window_.Get()) ? SW_RESTORE : SW_SHOW);
  ::SetForegroundWindow(window_.Get());
  ::BringWindowToTop(window_.Get());
}

void TFrmN2Shared::Close() { ::ShowWindow(window_.Get(), SW_HIDE); }

void TFrmN2Shared::SetDialogEnabled(bool enabled) {
  for (TControl* control :
       {static_cast<TControl*>(&EdtUser), static_cast<TControl*>(&EdtPasswd), static_cast<TControl*>(&ChkUpload),
        static_cast<TControl*>(&ChkStart), static_cast<TControl*>(&ChkAuto), static_cast<TControl*>(&ChkClose),
        static_cast<TControl*>(&RdoFtp), static_cast<TControl*>(&RdoHttp), static_cast<TControl*>(&EdtServer),
        static_cast<TControl*>(&EdtPath), static_cast<TControl*>(&BtnClear), static_cast<TControl*>(&BtnUpload),
        static_cast<TControl*>(&BtnDownload), static_cast<TControl*>(&BtnOk), static_cast<TControl*>(&BtnCancel),
        static_cast<TControl*>(&BtnApply)})
    control->SetEnabled(enabled);
}

TServerSettings TFrmN2Shared::ServerSettings() {
  TServerSettings s;
  s.ftp = RdoFtp.Checked();
  s.http = RdoHttp.Checked();
  s.server = EdtServer.Text();
  s.user = EdtUser.Text();
  s.password = EdtPasswd.Text();
  s.path = EdtPath.Text();
  s.passive = ChkPassive.Checked();
  return s;
}

void TFrmN2Shared::KeepWorker(std::unique_ptr<TN2Thread> worker) { Worker = std::move(worker); }

void TFrmN2Shared::UploadDue() {
  if (DmN2) DmN2->TimAfterJob.SetEnabled(true);
}

void TFrmN2Shared::ShowBusy() {
  SetDialogEnabled(false);
  PnlSyori1.Show();
  PnlSyori2.Show();
}

void TFrmN2Shared::ShowIdle() {
  SetDialogEnabled(true);
  PnlSyori1.Hide();
  PnlSyori2.Hide();
}

void TFrmN2Shared::SaveSettings() {
  IniN2.WriteValue("Setup", "UserName", EdtUser.Text());
  IniN2.WriteValue("Setup", "Passwd", EdtPasswd.Text());
  IniN2.WriteValue("Setup", "ChkUpload", Flag(ChkUpload));
  if (DmN2) {
    if (ChkUpload.Checked())
      DmN2->NotifyN2.Activate();
    else
      DmN2->NotifyN2.Deactivate();
  }
  IniN2.WriteValue("Setup", "ChkAuto", Flag(ChkAuto));
  if (DmN2) DmN2->TimN2.SetEnabled(ChkAuto.Checked());
  IniN2.WriteValue("Setup", "ChkStart", Flag(ChkStart));
  IniN2.WriteValue("Setup", "ChkClose", Flag(ChkClose));
  IniN2.WriteValue("Server", "Type", RdoFtp.Checked() ? "0" : RdoHttp.Checked() ? "1" : "2");
  IniN2.WriteValue("Server", "ChkPassive", Flag(ChkPassive));
  IniN2.WriteValue("Server", "ServerName", EdtServer.Text());
  IniN2.WriteValue("Server", "Path", EdtPath.Text());
  IniN2.SaveFile();
}

void TFrmN2Shared::FormCreate() {
  try {
    IniN2.SetAutoUpdate(false);
    IniN2.SetCaseSensitive(false);
    IniN2.SetDefaultFolder(TDefaultFolder::dfUser);
    IniN2.SetUpdateAtOnce(true);
    IniN2.SetFileName(SettingsFilePath());
    Ready = true;
    if (DmN2) {
      DmN2->FrontEnd = this;
      DmN2->NotifyN2.Directory = AddrBookFolder;
    }
    EdtUser.SetText(IniN2.ReadValue("Setup", "UserName", ""));
    EdtPasswd.SetText(IniN2.ReadValue("Setup", "Passwd", ""));
    ChkUpload.SetChecked(IsChecked(IniN2.ReadValue("Setup", "ChkUpload", "0")));
    if (DmN2) {
      if (ChkUpload.Checked())
        DmN2->NotifyN2.Activate();
      else
        DmN2->NotifyN2.Deactivate();
    }
    ChkClose.SetChecked(IsChecked(IniN2.ReadValue("Setup", "ChkClose", "0")));
    SelectConnection(IniN2.ReadValue("Server", "Type", "0") == "0");
    ChkPassive.SetChecked(IsChecked(IniN2.ReadValue("Server", "ChkPassive", "0")));
    EdtServer.SetText(IniN2.ReadValue("Server", "ServerName", ""));
    EdtPath.SetText(IniN2.ReadValue("Server", "Path", ""));
    ChkStart.SetChecked(IsChecked(IniN2.ReadValue("Setup", "ChkStart", "0")));
    ChkAuto.SetChecked(IsChecked(IniN2.ReadValue("Setup", "ChkAuto", "0")));
  } catch (const std::exception& error) {
    ShowErrorBox(kSystemError, error);
  }
}

void TFrmN2Shared::FormShow() { ShowPage(0); }

void TFrmN2Shared::FormActivate() {
  SetDialogEnabled(Ready);
  PnlSyori1.SetVisible(!Ready);
  PnlSyori2.SetVisible(!Ready);
}

void TFrmN2Shared::BtnOkClick() {
  try {
    SaveSettings();
    Close();
  } catch (const std::exception& error) {
    ShowErrorBox(kSaveError, error);
  }
}

void TFrmN2Shared::BtnApplyClick() { SaveSettings(); }

void TFrmN2Shared::BtnCancelClick() { Close(); }

void TFrmN2Shared::RdoFtpClick() { ChkPassive.SetEnabled(true); }

void TFrmN2Shared::RdoHttpClick() { ChkPassive.SetEnabled(false); }

void TFrmN2Shared::BtnUploadClick() { StartOperation("Upload of address book", jkFtpUpload, jkHttpUpload); }

void TFrmN2Shared::BtnDownloadClick() {
  StartOperation("Download of address book", jkFtpDownload, jkHttpDownload);
}

void TFrmN2Shared::BtnClearClick() { StartOperation("Cleaning of address book", jkFtpClear, jkHttpClear); }

void TFrmN2Shared::BtnSyori1CancelClick() { Close(); }

void TFrmN2Shared::PagConfChange() { ShowPage(PagConf.ActivePageIndex()); }

void TFrmN2Shared::StartOperation(const std::string& status, int32_t ftp_kind, int32_t http_kind) {
  // The job starts first and works while the panels are shown (showing them
  // and starting their animations takes the window some milliseconds); its
  // end is handled on this thread, after this.
  if (DmN2) StartJob(DmN2->JobContext(), ftp_kind, http_kind, TJobTrigger::kByHand);
  SetDialogEnabled(false);
  PnlSyori1.Show();
  LblStatus1.SetCaption(status);
  PnlSyori2.Show();
  LblStatus2.SetCaption(status);
}

void TFrmN2Shared::ShowPage(int index) {
  ::SendMessageA(PagConf.Handle(), TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
  TabSetup.SetVisible(index == 0);
  TabServer.SetVisible(index == 1);
  HWND focus = ::GetFocus();
  if (focus && !::IsWindowVisible(focus) && ::IsChild(window_.Get(), focus))
    ::SetFocus(::GetNextDlgTabItem(window_.Get(), nullptr, FALSE));
}

// Checks one of the pair and unchecks the other; passive mode is for FTP only.
void TFrmN2Shared::SelectConnection(bool ftp) {
  RdoFtp.SetChecked(ftp);
  RdoHttp.SetChecked(!ftp);
  ChkPassive.SetEnabled(ftp);
}

void TFrmN2Shared::HandleCommand(int id, HWND control) {
  if (control && !::IsWindowEnabled(control)) return;
  switch (id) {
    case kIdBtnOk: BtnOkClick(); break;
    case kIdBtnCancel: BtnCancelClick(); break;
    case kIdBtnApply: BtnApplyClick(); break;
    case kIdRdoFtp:
      SelectConnection(true);
      RdoFtpClick();
      break;
    case kIdRdoHttp:
      SelectConnection(false);
      RdoHttpClick();
      break;
    case kIdBtnUpload: BtnUploadClick(); break;
    case kIdBtnDownload: BtnDownloadClick(); break;
    case kIdBtnClear: BtnClearClick(); break;
    case kIdBtnSyori1Cancel:
    case kIdBtnSyori2Cancel: BtnSyori1CancelClick(); break;
    default: break;
  }
}

LRESULT TFrmN2Shared::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam, bool& handled) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wparam) == BN_CLICKED) HandleCommand(LOWORD(wparam), reinterpret_cast<HWND>(lparam));
      return 0;
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lparam);
      if (header->hwndFrom == PagConf.Handle() && header->code == TCN_SELCHANGE) PagConfChange();
      return 0;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      HWND control = reinterpret_cast<HWND>(lparam);
      HWND parent = ::GetParent(control);
      bool on_panel = parent == PnlSyori1.Handle() || parent == PnlSyori2.Handle();
      ::SetBkColor(reinterpret_cast<HDC>(wparam), on_panel ? kSkyBlue : ::GetSysColor(COLOR_BTNFACE));
      ::SetTextColor(reinterpret_cast<HDC>(wparam), ::GetSysColor(COLOR_BTNTEXT));
      return reinterpret_cast<LRESULT>(on_panel ? SkyBlueBrush() : ::GetSysColorBrush(COLOR_BTNFACE));
    }
    case DM_GETDEFID:
      return MAKELRESULT(IDOK, DC_HASDEFID);
    case WM_SHOWWINDOW:
      if (wparam) FormShow();
      break;
    case WM_ACTIVATE:
      if (LOWORD(wparam) == WA_INACTIVE) {
        HWND focus = ::GetFocus();
        if (focus && ::IsChild(window_.Get(), focus)) focus_ = focus;
      } else {
        FormActivate();
        HWND focus = focus_;
        if (!focus || !::IsWindowVisible(focus) || !::IsWindowEnabled(focus))
          focus = ::GetNextDlgTabItem(window_.Get(), nullptr, FALSE);
        if (focus) ::SetFocus(focus);
      }
      return 0;
    case WM_CLOSE:
      Close();
      return 0;
    default:
      break;
  }
  handled = false;
  return 0;
}

// Every handler runs inside this procedure; an error one of them does not
// handle itself is shown here and goes no further.
LRESULT CALLBACK TFrmN2Shared::WndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = reinterpret_cast<TFrmN2Shared*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
  if (self) {
    bool handled = true;
    try {
      LRESULT result = self->HandleMessage(message, wparam, lparam, handled);
      if (handled) return result;
    } catch (const std::exception& error) {
      ShowMessageBox(error.what());
      return 0;
    } catch (...) {
      ShowMessageBox("Unknown error");
      return 0;
    }
  }
  return ::DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace n2
