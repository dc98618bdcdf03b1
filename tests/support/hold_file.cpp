// hold_file.exe PATH [read]: another program holding a file open without
// sharing it, as an editor or a virus scanner may; with "read", others may
// still read it (but neither write, delete nor replace it). Prints "held" once the file is open
// (or "cannot open PATH: error N" and exits with 1), keeps it open until a
// line or the end of input arrives on stdin, then closes it and prints
// "released". Wine enforces share modes only between Wine processes, hence a
// Windows program of its own.
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::printf("usage: hold_file PATH [read]\n");
    return 2;
  }
  const DWORD share = argc == 3 && std::string(argv[2]) == "read" ? FILE_SHARE_READ : 0;
  HANDLE file = ::CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("cannot open %s: error %lu\n", argv[1], ::GetLastError());
    return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);
  char line[16];
  DWORD got = 0;
  ::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), line, sizeof line, &got, nullptr);
  ::CloseHandle(file);
  std::printf("released\n");
  std::fflush(stdout);
  return 0;
}
