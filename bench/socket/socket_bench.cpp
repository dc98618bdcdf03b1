// Moves megabytes over 127.0.0.1 to or from a peer (run.sh starts one) and
// prints the rate in MB/s, with TAsyncSocket in the way the FTP client uses it
// (1460 bytes per OnDataSent when sending, 4096 bytes per OnDataAvailable with
// wsoNoReceiveLoop when receiving) or with plain blocking Winsock calls of the
// same sizes. ours-bulk sends 64 KB per OnDataSent instead.
//   socket_bench ours|ours-bulk|plain send|recv <port> <megabytes>
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/async_socket.h"

namespace {

double Seconds() {
  LARGE_INTEGER now, frequency;
  ::QueryPerformanceCounter(&now);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

constexpr int kSendBlock = 1460;
constexpr int kRecvBlock = 4096;

long long Ours(bool sending, const std::string& port, long long total, int send_block) {
  n2::TAsyncSocket socket;
  std::vector<char> block(std::max(kRecvBlock, send_block), 'x');
  long long moved = 0;
  bool closed = false;
  socket.SetComponentOptions(n2::wsoNoReceiveLoop);
  socket.OnSessionClosed = [&](n2::TAsyncSocket&, uint16_t) { closed = true; };
  if (sending) {
    socket.OnDataSent = [&](n2::TAsyncSocket& s, uint16_t) {
      if (moved >= total) return;
      int count = static_cast<int>(std::min<long long>(send_block, total - moved));
      moved += s.Send(block.data(), count);
      if (moved >= total) s.Shutdown(1);
    };
  } else {
    socket.OnDataAvailable = [&](n2::TAsyncSocket& s, uint16_t) {
      int count = s.Receive(block.data(), kRecvBlock);
      if (count > 0) moved += count;
    };
  }
  socket.SetAddr("127.0.0.1");
  socket.SetPort(port);
  socket.Connect();
  MSG msg;
  while (!closed && ::GetMessageA(&msg, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
  return moved;
}

long long Plain(bool sending, const std::string& port, long long total) {
  WSADATA data;
  ::WSAStartup(MAKEWORD(1, 1), &data);
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = ::htons(static_cast<u_short>(std::atoi(port.c_str())));
  address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  long long moved = 0;
  std::vector<char> block(kRecvBlock, 'x');
  if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    if (sending) {
      while (moved < total) {
        int n = ::send(s, block.data(), static_cast<int>(std::min<long long>(kSendBlock, total - moved)), 0);
        if (n <= 0) break;
        moved += n;
      }
      ::shutdown(s, SD_SEND);
      while (::recv(s, block.data(), kRecvBlock, 0) > 0) {
      }
    } else {
      int n;
      while ((n = ::recv(s, block.data(), kRecvBlock, 0)) > 0) moved += n;
    }
  }
  ::closesocket(s);
  ::WSACleanup();
  return moved;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: socket_bench ours|ours-bulk|plain send|recv <port> <megabytes>\n");
    return 2;
  }
  const std::string who = argv[1];
  const bool ours = who != "plain";
  const int send_block = who == "ours-bulk" ? 65536 : kSendBlock;
  const bool sending = std::string(argv[2]) == "send";
  const long long total = std::atoll(argv[4]) << 20;
  const double start = Seconds();
  long long moved = 0;
  try {
    moved = ours ? Ours(sending, argv[3], total, send_block) : Plain(sending, argv[3], total);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
  const double seconds = Seconds() - start;
  std::printf("%.1f\n", static_cast<double>(moved) / (1 << 20) / seconds);
  return moved == total ? 0 : 1;
}
