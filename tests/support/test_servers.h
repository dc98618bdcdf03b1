// The servers the network and job tests talk to. CTest fixtures start them on
// the Linux side (pyftpdlib, nginx, and the scripted servers of tests/net)
// and leave each one's port in <build>/<servers>/<name>/port, which the Wine
// tests read through drive Z:.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

namespace n2test {

// A Linux path as Wine shows it on drive Z:.
std::string FromLinuxPath(std::string path);
// Where a fixture keeps the state of its servers, e.g. FixtureDir("ftp-servers").
std::string FixtureDir(const std::string& servers);
// The port a fixture's server listens on, or 0 when it did not start.
int FixturePort(const std::string& servers, const std::string& name);

// count bytes of a fixed pseudo-random sequence.
std::string RandomBytes(size_t count, unsigned seed);
// The lines, each followed by LF.
std::string JoinLines(const std::vector<std::string>& lines);

// A test's connection to the control port of a scripted server: it sends the
// script (one action a line), gets the port of the listener that plays it,
// and at the end the server's record of what the client sent and did.
class ScriptedServer {
 public:
  ScriptedServer(const std::vector<std::string>& script, int control_port);
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;
  ~ScriptedServer();

  std::string Port() const { return std::to_string(port_); }
  bool Ready() const { return port_ != 0; }
  // Ends the script and returns the records, one a line.
  std::vector<std::string> Finish();

 private:
  std::string ReadLine();

  SOCKET socket_ = INVALID_SOCKET;
  int port_ = 0;
};

// The request header blocks among a scripted HTTP server's records ("X:"
// lines, with CR, LF and backslash escaped), back as bytes.
std::vector<std::string> RecordedRequests(const std::vector<std::string>& records);
// The value of a header field in a request header block ("" when absent).
std::string HeaderField(const std::string& request, const std::string& name);
// The request line of a request header block.
std::string RequestLine(const std::string& request);

// Runs fn on a worker thread while this thread, the clients' owner, dispatches
// its messages, as the host's message loop does while a job runs.
template <class Fn>
void RunOnWorker(Fn fn) {
  HANDLE done = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread worker([&] {
    fn();
    ::SetEvent(done);
  });
  for (;;) {
    DWORD wait = ::MsgWaitForMultipleObjects(1, &done, FALSE, 1000, QS_ALLINPUT);
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
    if (wait == WAIT_OBJECT_0) break;
  }
  worker.join();
  ::CloseHandle(done);
}

}  // namespace n2test
