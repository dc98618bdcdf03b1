/* Keeps Wine's desktop process alive for the whole test session: Wine closes
   the desktop shortly after its last window goes, and the next program that
   creates a window then races the desktop's restart. Creates the file named on
   its command line once its window exists. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
  (void)previous; (void)show;
  HWND window = CreateWindowExA(0, "STATIC", "desktop keeper", 0, 0, 0, 1, 1, NULL, NULL, instance, NULL);
  MSG msg;
  if (!window) return 1;
  if (command_line && *command_line)
    CloseHandle(CreateFileA(command_line, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
  while (GetMessageA(&msg, NULL, 0, 0) > 0) DispatchMessageA(&msg);
  return 0;
}
