// The settings dialog, the plug-in's only window. Its controls hold the ten
// live settings: the start-up code, the triggers and the jobs read them, never
// the settings file. It is created once, hidden, and shown without being modal;
// its buttons hide it, nothing destroys it while the host runs.
//
// Keyboard navigation (Tab, Enter, Esc) works in any host: the dialog watches
// the messages its thread takes from the queue and gives its own keys to
// IsDialogMessageA, as a dialog's own message loop would.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "base/scoped_handle.h"
#include "settings/controls.h"
#include "settings/settings_ini.h"
#include "sync/sync_front_end.h"

namespace n2 {

class TN2Thread;

class TFrmN2Shared : public TSyncFrontEnd {
 public:
  // Builds the window and its controls, hidden, then reads the settings file
  // into the controls (FormCreate).
  TFrmN2Shared();
  TFrmN2Shared(const TFrmN2Shared&) = delete;
  TFrmN2Shared& operator=(const TFrmN2Shared&) = delete;
  ~TFrmN2Shared() override;

  HWND Handle() const noexcept { return window_.Get(); }
  // Makes the dialog visible and brings it to the front; returns at once.
  void Show();
  // Hides the dialog; it is not destroyed.
  void Close();
  bool Visible() const noexcept { return ::IsWindowVisible(window_.Get()) != FALSE; }

  // Enables or disables the sixteen input controls and buttons.
  void SetDialogEnabled(bool enabled);
  // Writes the ten settings from the controls, starting or stopping the folder
  // watcher and the download timer as their check boxes say.
  void SaveSettings();

  // What the jobs and triggers read and show (main thread).
  TServerSettings ServerSettings() override;
  bool UploadOnChange() override { return ChkUpload.Checked(); }
  bool UploadOnShutdown() override { return ChkClose.Checked(); }
  void ShowBusy() override;
  void ShowIdle() override;
  void KeepWorker(std::unique_ptr<TN2Thread> worker) override;
  void UploadDue() override;

  // Event handlers.
  void FormCreate();
  void FormShow();
  void FormActivate();
  void BtnOkClick();
  void BtnApplyClick();
  void BtnCancelClick();
  void RdoFtpClick();
  void RdoHttpClick();
  void BtnUploadClick();
  void BtnDownloadClick();
  void BtnClearClick();
  void BtnSyori1CancelClick();
  void PagConfChange();

  // Controls, in creation (and tab) order.
  TPageControl PagConf;
  TTabSheet TabSetup;
  TGroupBox GrpAccount;
  TLabel Label1;
  TEdit EdtUser;
  TLabel Label2;
  TEdit EdtPasswd;
  TGroupBox GroupBox2;
  TCheckBox ChkUpload;
  TCheckBox ChkStart;
  TCheckBox ChkAuto;
  TCheckBox ChkClose;
  TPanel PnlSyori1;
  TAnimate AnmSyori1;
  TLabel LblStatus1;
  TLabel Label8;
  TButton BtnSyori1Cancel;
  TTabSheet TabServer;
  TGroupBox GroupBox3;
  TLabel Label3;
  TRadioButton RdoFtp;
  TRadioButton RdoHttp;
  TCheckBox ChkPassive;
  TLabel Label4;
  TEdit EdtServer;
  TLabel Label5;
  TEdit EdtPath;
  TButton BtnClear;
  TGroupBox GroupBox4;
  TButton BtnUpload;
  TButton BtnDownload;
  TPanel PnlSyori2;
  TAnimate AnmSyori2;
  TLabel LblStatus2;
  TLabel Label7;
  TButton BtnSyori2Cancel;
  TButton BtnOk;
  TButton BtnCancel;
  TButton BtnApply;

  TSettingsIni IniN2;

  // The last worker thread started by the dialog, a trigger or the start-up
  // download. It is kept after it has ended; the next job replaces it.
  std::unique_ptr<TN2Thread> Worker;

 private:
  void CreateControls();
  void ShowPage(int index);
  void SelectConnection(bool ftp);
  // A manual operation: the busy look (controls disabled, both panels shown
  // with the operation's name), then the job unless one is running.
  void StartOperation(const std::string& status, int32_t ftp_kind, int32_t http_kind);
  LRESULT HandleMessage(UINT message, WPARAM wparam, LPARAM lparam, bool& handled);
  void HandleCommand(int id, HWND control);
  static LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  static LRESULT CALLBACK KeyboardHook(int code, WPARAM wparam, LPARAM lparam);

  HFONT font_ = nullptr;
  HWND focus_ = nullptr;  // the control to give the focus back to on activation
  ScopedWindow window_;
  ScopedHook keyboard_hook_;
};

// Created by the first start callback, right after the data module, and never
// freed while the host runs.
extern TFrmN2Shared* FrmN2Shared;

}  // namespace n2
