// A plain blocking TCP peer on 127.0.0.1 for the socket tests, running a
// script on a thread of its own. It uses ws2_32 directly (linked into the
// test), so it never touches the run-time loaded Winsock under test.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <string>
#include <thread>

namespace n2test {

// Keeps Winsock started for the test's own use.
class WinsockUser {
 public:
  WinsockUser() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~WinsockUser() { ::WSACleanup(); }
};

// Reads until the other side closes (or the time limit of the socket passes).
inline std::string RecvAll(SOCKET s) {
  std::string data;
  char buffer[8192];
  for (;;) {
    int n = ::recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) return data;
    data.append(buffer, static_cast<std::size_t>(n));
  }
}

inline bool SendAll(SOCKET s, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    int n = ::send(s, data.data() + done, static_cast<int>(data.size() - done), 0);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Every blocking call of the peer gives up after this long, so no test can hang on it.
inline void SetTimeouts(SOCKET s, DWORD milliseconds = 10000) {
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&milliseconds), sizeof milliseconds);
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&milliseconds), sizeof milliseconds);
}

// Listens on 127.0.0.1 (a port of the system's choice) and runs script on the
// first connection accepted; the connection is closed when the script returns.
class LoopbackPeer {
 public:
  explicit LoopbackPeer(std::function<void(SOCKET)> script) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 5);
    int size = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ::ntohs(address.sin_port);
    thread_ = std::thread([this, script = std::move(script)] {
      fd_set set;
      FD_ZERO(&set);
      FD_SET(listener_, &set);
      timeval limit{10, 0};
      if (::select(0, &set, nullptr, nullptr, &limit) != 1) return;
      SOCKET client = ::accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) return;
      SetTimeouts(client);
      script(client);
      ::closesocket(client);
    });
  }
  ~LoopbackPeer() {
    Join();
    ::closesocket(listener_);
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  unsigned short Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }

 private:
  WinsockUser winsock_;
  SOCKET listener_ = INVALID_SOCKET;
  unsigned short port_ = 0;
  std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens.
inline unsigned short ClosedPort() {
  WinsockUser winsock;
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int size = sizeof address;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
  ::closesocket(s);
  return ::ntohs(address.sin_port);
}

}  // namespace n2test
