// Winsock 1.1 entry points, taken from wsock32.dll at run time: nothing links
// against a Winsock library. The first call of any entry point loads the
// library (WSAStartup with the version ReqVerHigh.ReqVerLow) and looks the
// entry point up by name; the library is unloaded (WSACleanup) when the last
// socket object goes, and when the module is unloaded.
//
//   int n = wsock::send(handle, data, size, 0);   // same signature as Winsock's send
//
// One lock (the module lock) guards the library handles, the table of entry
// points, the requested version and the socket count.
#pragma once

// Winsock's declarations are used for their types only.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>

namespace n2::wsock {

#define N2_WINSOCK_ENTRIES(X)                                                                           \
  X(WSAStartup) X(WSACleanup) X(WSASetLastError) X(WSAGetLastError) X(WSACancelAsyncRequest)            \
  X(WSAAsyncGetHostByName) X(WSAAsyncGetHostByAddr) X(WSAAsyncSelect) X(getservbyname) X(getprotobyname) \
  X(gethostbyname) X(gethostbyaddr) X(gethostname) X(socket) X(shutdown) X(setsockopt) X(getsockopt)    \
  X(sendto) X(send) X(ntohs) X(listen) X(ioctlsocket) X(inet_ntoa) X(inet_addr) X(htons) X(htonl)       \
  X(getsockname) X(getpeername) X(connect) X(closesocket) X(bind) X(accept) X(recv) X(recvfrom)

enum class Entry {
#define N2_WINSOCK_ENUM(name) name,
  N2_WINSOCK_ENTRIES(N2_WINSOCK_ENUM)
#undef N2_WINSOCK_ENUM
  Count
};

// The address of an entry point of wsock32.dll, loading the library first when
// needed. Raises ESocketException "Unable to load wsock32.dll - ...",
// "Winsock startup error wsock32.dll - ..." or "Procedure <name> not found in wsock32.dll - ...".
FARPROC Proc(Entry entry);

// Typed callers: wsock::send(...) calls wsock32's send.
#define N2_WINSOCK_CALLER(name)                                                 \
  template <class... Args>                                                      \
  inline auto name(Args... args) {                                              \
    return reinterpret_cast<decltype(&::name)>(Proc(Entry::name))(args...);     \
  }
N2_WINSOCK_ENTRIES(N2_WINSOCK_CALLER)
#undef N2_WINSOCK_CALLER

// WSAIoctl, the one entry point taken from ws2_32.dll (loaded the same way,
// "Unable to load ws2_32.dll - ..."). Nothing in the plug-in reaches it.
FARPROC WSAIoctlProc();

// Socket objects count themselves here; when the count falls below 1 Winsock is unloaded.
void AddSocket();
void ReleaseSocket();
int SocketCount();

// True while wsock32.dll is loaded and started.
bool IsLoaded();

// Unloads Winsock now: WSACleanup, ws2_32.dll and wsock32.dll freed, every entry point forgotten.
void Unload();

// The Winsock version asked for at start-up; changing it while loaded raises
// "SetReqVerLow: WinSock version can't be changed now" (or ...High...).
std::uint8_t ReqVerLow();
std::uint8_t ReqVerHigh();
void SetReqVerLow(std::uint8_t value);
void SetReqVerHigh(std::uint8_t value);

}  // namespace n2::wsock
