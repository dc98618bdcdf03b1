#include "tests/support/test_support.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace n2test {
namespace {

std::string LastErrorText(const std::string& what) { return what + " failed, error " + std::to_string(::GetLastError()); }

}  // namespace

TempFolder::TempFolder() {
  char base[MAX_PATH] = {};
  ::GetTempPathA(MAX_PATH, base);
  static LONG counter = 0;
  for (;;) {
    std::string candidate = std::string(base) + "n2t" + std::to_string(::GetCurrentProcessId()) + "_" +
                            std::to_string(::InterlockedIncrement(&counter));
    if (::CreateDirectoryA(candidate.c_str(), nullptr)) {
      path_ = candidate + "\\";
      return;
    }
    if (::GetLastError() != ERROR_ALREADY_EXISTS) throw std::runtime_error(LastErrorText("CreateDirectory"));
  }
}

TempFolder::~TempFolder() { RemoveTree(path_); }

std::string ExecutableFolder() {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text = path;
  return text.substr(0, text.find_last_of('\\') + 1);
}

bool IsWine() { return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }

bool PumpMessagesUntil(const std::function<bool()>& done, DWORD milliseconds) {
  DWORD start = ::GetTickCount();
  while (!done()) {
    DWORD elapsed = ::GetTickCount() - start;
    if (elapsed >= milliseconds) return done();
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(milliseconds - elapsed, 50), QS_ALLINPUT);
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
  }
  return true;
}

ProcessResult RunProcess(const std::string& command_line, DWORD milliseconds) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &inherit, 0)) throw std::runtime_error(LastErrorText("CreatePipe"));
  ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION info{};
  std::string mutable_line = command_line;
  BOOL started = ::CreateProcessA(nullptr, mutable_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &info);
  ::CloseHandle(write_end);
  if (!started) {
    ::CloseHandle(read_end);
    throw std::runtime_error(LastErrorText("CreateProcess " + command_line));
  }
  ProcessResult result;
  std::thread reader([&] {
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) result.output.append(buffer, got);
  });
  if (::WaitForSingleObject(info.hProcess, milliseconds) != WAIT_OBJECT_0) {
    result.timed_out = true;
    ::TerminateProcess(info.hProcess, 255);
    ::WaitForSingleObject(info.hProcess, INFINITE);
  }
  ::GetExitCodeProcess(info.hProcess, &result.exit_code);
  reader.join();
  ::CloseHandle(read_end);
  ::CloseHandle(info.hProcess);
  ::CloseHandle(info.hThread);
  return result;
}

void WriteFileBytes(const std::string& path, const std::string& data) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error(LastErrorText("create " + path));
  DWORD put = 0;
  BOOL ok = data.empty() || ::WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &put, nullptr);
  ::CloseHandle(file);
  if (!ok || put != data.size()) throw std::runtime_error(LastErrorText("write " + path));
}

std::string ReadFileBytes(const std::string& path) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error(LastErrorText("open " + path));
  std::string data;
  char buffer[65536];
  DWORD got = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
  ::CloseHandle(file);
  return data;
}

bool PathExists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void RemoveTree(const std::string& path) {
  std::string folder = path;
  while (!folder.empty() && folder.back() == '\\') folder.pop_back();
  WIN32_FIND_DATAA item;
  HANDLE find = ::FindFirstFileA((folder + "\\*").c_str(), &item);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = item.cFileName;
      if (name == "." || name == "..") continue;
      std::string full = folder + "\\" + name;
      ::SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(full);
      else
        ::DeleteFileA(full.c_str());
    } while (::FindNextFileA(find, &item));
    ::FindClose(find);
  }
  ::RemoveDirectoryA(folder.c_str());
}

PluginSandbox::PluginSandbox() {
  std::string source = ExecutableFolder() + "N2VelmEn.dll";
  if (!::CopyFileA(source.c_str(), ModulePath().c_str(), FALSE))
    throw std::runtime_error(LastErrorText("copy " + source));
  ::CreateDirectoryA(DataFolder().c_str(), nullptr);
}

ProcessResult RunHost(const std::string& host_exe, const std::string& arguments, DWORD milliseconds) {
  return RunProcess("\"" + ExecutableFolder() + host_exe + "\" " + arguments, milliseconds);
}

}  // namespace n2test
