// Shows the settings dialog on each of its pages and saves each as a bitmap:
//   settings_screenshot <folder>   writes <folder>\dialog-setup.bmp and dialog-other.bmp
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <string>

#include "plugin/plugin_state.h"
#include "settings/n2_shared_main.h"
#include "sync/n2_shared_dm.h"

namespace {

void Pump(DWORD milliseconds) {
  DWORD start = ::GetTickCount();
  while (::GetTickCount() - start < milliseconds) {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
}

// Saves the window as it is on the screen, frame and caption included.
bool SaveWindow(HWND window, const std::string& path) {
  RECT rect;
  ::GetWindowRect(window, &rect);
  int width = rect.right - rect.left, height = rect.bottom - rect.top;
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = ::SelectObject(memory, bitmap);
  ::BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  ::GdiFlush();
  ::SelectObject(memory, old);
  DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info.bmiHeader;
  file.bfSize = file.bfOffBits + stride * static_cast<DWORD>(height);
  bool saved = false;
  if (FILE* out = std::fopen(path.c_str(), "wb")) {
    saved = std::fwrite(&file, sizeof file, 1, out) == 1 && std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out) == 1 &&
            std::fwrite(bits, stride * static_cast<DWORD>(height), 1, out) == 1;
    std::fclose(out);
  }
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  return saved;
}

void SelectPage(n2::TFrmN2Shared& form, int index) {
  RECT tab;
  ::SendMessageA(form.PagConf.Handle(), TCM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&tab));
  LPARAM point = MAKELPARAM((tab.left + tab.right) / 2, (tab.top + tab.bottom) / 2);
  ::SendMessageA(form.PagConf.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, point);
  ::SendMessageA(form.PagConf.Handle(), WM_LBUTTONUP, 0, point);
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder = argc > 1 ? std::string(argv[1]) + "\\" : std::string();
  n2::AddrBookFolder = folder + "AddrBook";
  n2::DmN2 = new n2::TDmN2();
  n2::FrmN2Shared = new n2::TFrmN2Shared();
  n2::TFrmN2Shared& form = *n2::FrmN2Shared;
  form.EdtUser.SetText("velmora");
  form.EdtPasswd.SetText("secret");
  form.EdtServer.SetText("ftp.example.com");
  form.EdtPath.SetText("/addrbook/");
  form.ChkUpload.SetChecked(true);
  form.ChkAuto.SetChecked(true);
  form.ChkPassive.SetChecked(true);
  form.Show();
  Pump(1500);
  bool ok = SaveWindow(form.Handle(), folder + "dialog-setup.bmp");
  SelectPage(form, 1);
  Pump(1000);
  ok = SaveWindow(form.Handle(), folder + "dialog-other.bmp") && ok;
  form.BtnUploadClick();
  Pump(1000);
  ok = SaveWindow(form.Handle(), folder + "dialog-busy.bmp") && ok;
  return ok ? 0 : 1;
}
