#include "net/async_socket.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "net/winsock_api.h"

namespace n2 {
namespace {

constexpr int kDnsBufferSize = 1025;
constexpr int kTcp = IPPROTO_TCP;

// A Winsock address field (network byte order) and our host-order form.
std::uint32_t ToHostOrder(const in_addr& address) {
  const auto* b = reinterpret_cast<const unsigned char*>(&address);
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}
std::uint16_t PortToHostOrder(std::uint16_t network_port) {
  const auto* b = reinterpret_cast<const unsigned char*>(&network_port);
  return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}
std::uint16_t PortToNetworkOrder(unsigned port) {
  std::uint16_t result;
  unsigned char b[2] = {static_cast<unsigned char>(port >> 8), static_cast<unsigned char>(port)};
  std::memcpy(&result, b, 2);
  return result;
}

std::string DottedText(std::uint32_t host_order) {
  return std::to_string(host_order >> 24) + "." + std::to_string((host_order >> 16) & 0xFF) + "." +
         std::to_string((host_order >> 8) & 0xFF) + "." + std::to_string(host_order & 0xFF);
}

// Four decimal numbers up to 255 joined by dots (surrounding spaces allowed).
bool IsDottedIP(const std::string& text) {
  std::size_t begin = text.find_first_not_of(' ');
  std::size_t end = text.find_last_not_of(' ');
  if (begin == std::string::npos) return false;
  int dots = 0, digits = 0, value = 0;
  for (std::size_t i = begin; i <= end; ++i) {
    char c = text[i];
    if (c == '.') {
      if (digits == 0 || ++dots > 3) return false;
      digits = value = 0;
    } else if (c >= '0' && c <= '9') {
      value = value * 10 + (c - '0');
      if (++digits > 3 || value > 255) return false;
    } else {
      return false;
    }
  }
  return dots == 3 && digits > 0;
}

bool IsAllDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool EqualsNoCase(const std::string& a, const char* b) {
  std::size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  return true;
}

int WinsockError() { return wsock::WSAGetLastError(); }

// Name resolution, raising the resolver's messages.
int ResolveProto(const std::string& proto) {
  if (proto.empty()) throw ESocketException("Winsock Resolve Proto: Invalid Protocol.");
  if (IsAllDigits(proto)) return std::atoi(proto.c_str());
  if (EqualsNoCase(proto, "tcp")) return IPPROTO_TCP;
  if (EqualsNoCase(proto, "udp")) return IPPROTO_UDP;
  protoent* entry = wsock::getprotobyname(proto.c_str());
  if (!entry)
    throw ESocketException("Winsock Resolve Proto: Cannot convert protocol '" + proto + "' - " +
                           SocketErrorText(WinsockError()));
  return entry->p_proto;
}

// Returns the port in network byte order.
std::uint16_t ResolvePort(const std::string& port, const std::string& proto) {
  if (port.empty()) throw ESocketException("Winsock Resolve Port: Invalid Port.");
  if (proto.empty()) throw ESocketException("Winsock Resolve Port: Invalid Proto.");
  if (port[0] >= '0' && port[0] <= '9') {
    // A number must be all digits and fit a port; anything else would connect elsewhere.
    if (!IsAllDigits(port) || port.size() > 5 || std::atoi(port.c_str()) > 65535)
      throw ESocketException("Winsock Resolve Port: Invalid Port.");
    return PortToNetworkOrder(static_cast<unsigned>(std::atoi(port.c_str())));
  }
  servent* entry = wsock::getservbyname(port.c_str(), proto.c_str());
  if (!entry)
    throw ESocketException("Winsock Resolve Port: Cannot convert port '" + port + "' - " +
                           SocketErrorText(WinsockError()));
  return static_cast<std::uint16_t>(entry->s_port);
}

// Returns the address in network byte order.
std::uint32_t ResolveHost(const std::string& host) {
  if (host.empty()) throw ESocketException("Winsock Resolve Host: '" + host + "' Invalid Hostname.");
  if (IsDottedIP(host)) {
    unsigned long address = wsock::inet_addr(host.c_str());
    if (address == INADDR_NONE && host != "255.255.255.255")
      throw ESocketException("Winsock Resolve Host: '" + host + "' Invalid IP address.");
    return static_cast<std::uint32_t>(address);
  }
  hostent* entry = wsock::gethostbyname(host.c_str());
  if (!entry || !entry->h_addr_list || !entry->h_addr_list[0])
    throw ESocketException("Winsock Resolve Host: Cannot convert host address '" + host + "' - " +
                           SocketErrorText(WinsockError()));
  std::uint32_t address;
  std::memcpy(&address, entry->h_addr_list[0], sizeof address);
  return address;
}

}  // namespace

std::string TSockAddrIn::AddrText() const { return DottedText(addr); }

// ---------------------------------------------------------------------------
// Construction, properties

TAsyncSocket::TAsyncSocket() {
  for (MsgSlot& slot : msg_select_) slot = AllocateMsg();
  msg_dns_ = AllocateMsg();
  msg_reverse_dns_ = AllocateMsg();
  msg_close_delayed_ = AllocateMsg();
  wsock::AddSocket();
}

TAsyncSocket::~TAsyncSocket() {
  destroying_ = true;
  try {
    CancelDnsLookup();
  } catch (...) {
  }
  try {
    if (state_ != wsClosed || hsocket_ != kInvalidSocket) InternalClose(true, 0);
  } catch (...) {
  }
  if (hsocket_ != kInvalidSocket) {
    try {
      wsock::closesocket(hsocket_);
    } catch (...) {
    }
  }
  // Lookups still unanswered may write into their areas later: those are left behind.
  for (DnsArea& area : dns_areas_) (void)area.data.release();
  wsock::ReleaseSocket();
}

template <class F>
auto TAsyncSocket::OnOwnerThread(F&& f) {
  using Result = decltype(f());
  if constexpr (std::is_void_v<Result>) {
    RunOnOwnerThread([&] { f(); });
  } else {
    Result result{};
    RunOnOwnerThread([&] { result = f(); });
    return result;
  }
}

void TAsyncSocket::SetAddr(const std::string& addr) {
  addr_ = addr;
  addr_assigned_ = true;
  addr_resolved_ = false;
}

void TAsyncSocket::SetPort(const std::string& port) {
  port_ = port;
  port_assigned_ = true;
  port_resolved_ = false;
}

void TAsyncSocket::SetProto(const std::string& proto) {
  proto_ = proto;
  proto_assigned_ = !proto.empty();
  proto_resolved_ = false;
  port_resolved_ = false;
  local_port_resolved_ = false;
}

void TAsyncSocket::SetLocalAddr(const std::string& addr) { local_addr_ = addr; }

void TAsyncSocket::SetLocalPort(const std::string& port) {
  local_port_ = port;
  local_port_resolved_ = false;
}

std::uint8_t TAsyncSocket::ReqVerLow() { return wsock::ReqVerLow(); }
std::uint8_t TAsyncSocket::ReqVerHigh() { return wsock::ReqVerHigh(); }
void TAsyncSocket::SetReqVerLow(std::uint8_t value) { wsock::SetReqVerLow(value); }
void TAsyncSocket::SetReqVerHigh(std::uint8_t value) { wsock::SetReqVerHigh(value); }
int TAsyncSocket::SocketCount() { return wsock::SocketCount(); }

void TAsyncSocket::ChangeState(TSocketState new_state) {
  TSocketState old_state = state_.exchange(new_state);
  if (old_state != new_state && OnChangeState && !destroying_) OnChangeState(*this, old_state, new_state);
}

void TAsyncSocket::AssignDefaultValue() {
  addr_assigned_ = port_assigned_ = false;
  addr_resolved_ = port_resolved_ = proto_resolved_ = local_port_resolved_ = false;
  proto_ = std::string("tcp");
  proto_assigned_ = true;
  proto_number_ = kTcp;
  socket_type_ = SOCK_STREAM;
  local_addr_ = std::string("0.0.0.0");
  local_port_ = std::string("0");
  linger_on_off_ = wsLingerOn;
  linger_timeout_ = 0;
  flush_timeout_ = 60;
  paused_ = false;
  close_invoked_ = false;
  selected_events_ = 0;
}

// ---------------------------------------------------------------------------
// Errors

void TAsyncSocket::RaiseException(const std::string& message) {
  if (OnError) {
    OnError(*this);
    return;
  }
  throw ESocketException(message);
}

void TAsyncSocket::SocketError(const std::string& call, int code) {
  last_error_ = code;
  if (code == WSAECONNRESET || code == WSAENOTCONN) {
    if (hsocket_ != kInvalidSocket) {
      try {
        wsock::closesocket(hsocket_);
      } catch (...) {
      }
      hsocket_ = kInvalidSocket;
    }
    if (state_ != wsClosed) TriggerSessionClosed(static_cast<std::uint16_t>(code));
    ChangeState(wsClosed);
  }
  if (OnError) {
    OnError(*this);
    return;
  }
  throw ESocketException(SocketErrorCallText(code, call));
}

void TAsyncSocket::TriggerSessionClosed(std::uint16_t error) {
  if (close_invoked_ || destroying_) return;
  close_invoked_ = true;
  if (OnSessionClosed) OnSessionClosed(*this, error);
}

void TAsyncSocket::HandleBackgroundException(const std::exception& error) {
  bool can_close = true;
  if (OnBgException) {
    try {
      OnBgException(*this, error, can_close);
    } catch (...) {
    }
  }
  if (can_close) {
    try {
      Abort();
    } catch (...) {
    }
  }
}

// ---------------------------------------------------------------------------
// Handles and options

void TAsyncSocket::SetSocketOption(int level, int name, const void* value, int size, const char* call) {
  if (wsock::setsockopt(hsocket_, level, name, static_cast<const char*>(value), size) == SOCKET_ERROR)
    SocketError(call, WinsockError());
}

void TAsyncSocket::ReadBufferSizes() {
  int size = sizeof snd_buf_size_;
  if (wsock::getsockopt(hsocket_, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&snd_buf_size_), &size) ==
      SOCKET_ERROR)
    SocketError("getsockopt(SO_SNDBUF)", WinsockError());
  size = sizeof rcv_buf_size_;
  if (wsock::getsockopt(hsocket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&rcv_buf_size_), &size) ==
      SOCKET_ERROR)
    SocketError("getsockopt(SO_RCVBUF)", WinsockError());
}

int TAsyncSocket::ReadSocketSndBufSize() {
  if (!IsOwnerThread()) return OnOwnerThread([&] { return ReadSocketSndBufSize(); });
  int value = 0;
  int size = sizeof value;
  if (wsock::getsockopt(hsocket_, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&value), &size) == SOCKET_ERROR) {
    SocketError("getsockopt(SO_SNDBUF)", WinsockError());
    return -1;
  }
  return value;
}

void TAsyncSocket::SetLingerOption() {
  if (!IsOwnerThread()) return OnOwnerThread([&] { SetLingerOption(); });
  if (linger_on_off_ == wsLingerNoSet) return;
  if (hsocket_ == kInvalidSocket) {
    RaiseException("Cannot set linger option at this time");
    return;
  }
  linger value{};
  value.l_onoff = static_cast<u_short>(linger_on_off_ == wsLingerOn ? 1 : 0);
  value.l_linger = static_cast<u_short>(std::clamp(linger_timeout_, 0, 65535));
  SetSocketOption(SOL_SOCKET, SO_LINGER, &value, sizeof value, "setsockopt(SO_LINGER)");
}

void TAsyncSocket::SelectEvents(long events) {
  selected_events_ = events;
  if (paused_) return;
  if (wsock::WSAAsyncSelect(hsocket_, Handle(), MsgNumber(CurrentSelectSlot()), events) == SOCKET_ERROR)
    SocketError("WSAAsyncSelect", WinsockError());
}

void TAsyncSocket::CreateHandle() {
  SOCKET handle = wsock::socket(AF_INET, socket_type_, proto_number_);
  if (handle == INVALID_SOCKET) {
    SocketError("socket", WinsockError());
    return;
  }
  hsocket_ = handle;
  ++handle_generation_;
  close_invoked_ = false;
  paused_ = false;
}

void TAsyncSocket::ResolveTarget() {
  if (!proto_resolved_) {
    proto_number_ = ResolveProto(proto_);
    socket_type_ = proto_number_ == IPPROTO_UDP ? SOCK_DGRAM : proto_number_ == IPPROTO_TCP ? SOCK_STREAM : SOCK_RAW;
    proto_resolved_ = true;
  }
  if (!port_resolved_) {
    sin_port_ = ResolvePort(port_, proto_);
    port_resolved_ = true;
  }
  if (!local_port_resolved_) {
    local_sin_port_ = ResolvePort(local_port_, proto_);
    local_port_resolved_ = true;
  }
  if (!addr_resolved_) {
    sin_addr_ = ResolveHost(addr_);
    addr_resolved_ = true;
  }
}

// ---------------------------------------------------------------------------
// Name lookup

void TAsyncSocket::DnsLookup(const std::string& host) {
  if (!IsOwnerThread()) return OnOwnerThread([&] { DnsLookup(host); });
  if (host.empty()) {
    RaiseException("DNS lookup: invalid host name.");
    return;
  }
  CancelDnsLookup();
  dns_result_.clear();
  dns_result_list_.clear();
  if (IsDottedIP(host)) {
    unsigned long address = wsock::inet_addr(host.c_str());
    if (address != INADDR_NONE || host == "255.255.255.255") {
      in_addr in{};
      in.s_addr = address;
      dns_result_ = DottedText(ToHostOrder(in));
      dns_result_list_.push_back(dns_result_);
      if (OnDnsLookupDone) OnDnsLookupDone(*this, 0);
      return;
    }
  }
  auto area = std::make_unique<char[]>(kDnsBufferSize);
  dns_starting_ = true;
  dns_answer_early_ = false;
  HANDLE request =
      wsock::WSAAsyncGetHostByName(Handle(), MsgNumber(msg_dns_), host.c_str(), area.get(), kDnsBufferSize);
  dns_starting_ = false;
  if (!request) {
    RaiseException(host + ": can't start DNS lookup - " + SocketErrorText(WinsockError()));
    return;
  }
  dns_areas_.push_back({request, std::move(area)});
  dns_handle_ = request;
  if (dns_answer_early_) {
    dns_answer_early_ = false;
    HandleDnsAnswer(dns_early_wparam_, dns_early_lparam_);
  }
}

void TAsyncSocket::CancelDnsLookup() {
  if (!IsOwnerThread()) return OnOwnerThread([&] { CancelDnsLookup(); });
  if (!dns_handle_) return;
  HANDLE request = static_cast<HANDLE>(dns_handle_);
  dns_handle_ = nullptr;  // a late answer is ignored from now on
  // A failed cancel means the answer is already on its way; it is dropped all the same.
  wsock::WSACancelAsyncRequest(request);
  if (!destroying_ && OnDnsLookupDone) OnDnsLookupDone(*this, WSAEINTR);
}

void TAsyncSocket::HandleDnsAnswer(WPARAM wparam, LPARAM lparam) {
  if (dns_starting_) {  // the answer came before the request's handle is known
    dns_answer_early_ = true;
    dns_early_wparam_ = wparam;
    dns_early_lparam_ = lparam;
    return;
  }
  const auto request = reinterpret_cast<void*>(wparam);
  auto area = std::find_if(dns_areas_.begin(), dns_areas_.end(), [&](auto& a) { return a.request == request; });
  if (area == dns_areas_.end()) return;
  std::unique_ptr<char[]> data = std::move(area->data);  // Winsock is done with it
  dns_areas_.erase(area);
  if (!dns_handle_ || request != dns_handle_) return;  // a cancelled lookup
  dns_handle_ = nullptr;
  auto error = static_cast<std::uint16_t>(WSAGETASYNCERROR(lparam));
  if (error == 0) {
    const auto* entry = reinterpret_cast<const hostent*>(data.get());
    if (entry->h_addr_list && entry->h_length == 4) {
      for (char** p = entry->h_addr_list; *p; ++p) {
        in_addr in;
        std::memcpy(&in, *p, sizeof in);
        dns_result_list_.push_back(DottedText(ToHostOrder(in)));
      }
    }
    if (!dns_result_list_.empty()) dns_result_ = dns_result_list_.front();
  }
  if (OnDnsLookupDone) OnDnsLookupDone(*this, error);
}

// ---------------------------------------------------------------------------
// Connecting, listening

void TAsyncSocket::Connect() {
  if (!IsOwnerThread()) return OnOwnerThread([&] { Connect(); });
  if (hsocket_ != kInvalidSocket && state_ != wsClosed) return RaiseException("Connect: Socket already in use");
  if (!port_assigned_) return RaiseException("Connect: No Port Specified");
  if (!addr_assigned_) return RaiseException("Connect: No IP Address Specified");
  if (!proto_assigned_) return RaiseException("Connect: No Protocol Specified");
  std::uint32_t local_addr = 0;
  try {
    ResolveTarget();
    local_addr = ResolveHost(local_addr_);
  } catch (const ESocketException& error) {
    return RaiseException("connect: " + error.Message());
  }
  DeleteBufferedData();
  CreateHandle();
  if (hsocket_ == kInvalidSocket) return;
  // Any failure from here on gives the new handle back before it is reported,
  // so that the next Connect finds the socket free.
  NewHandleGuard guard(*this);
  ReadBufferSizes();
  ChangeState(wsOpened);
  if (proto_number_ == kTcp) {
    BOOL on = TRUE;
    SetSocketOption(SOL_SOCKET, SO_REUSEADDR, &on, sizeof on, "setsockopt(SO_REUSEADDR)");
    if (options_ & wsoTcpNoDelay)
      SetSocketOption(IPPROTO_TCP, TCP_NODELAY, &on, sizeof on, "setsockopt(IPPROTO_TCP, TCP_NODELAY)");
    SetLingerOption();
  }
  if (local_sin_port_ != 0 || local_addr_ != "0.0.0.0") {
    if (int code = BindTo(local_addr, local_sin_port_)) {
      last_error_ = code;
      guard.GiveBack();
      return RaiseException("Bind socket failed - " + SocketErrorText(code));
    }
  }
  SelectEvents(FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = sin_port_;
  remote.sin_addr.s_addr = sin_addr_;
  if (wsock::connect(hsocket_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == SOCKET_ERROR) {
    int code = WinsockError();
    if (code != WSAEWOULDBLOCK) {
      guard.GiveBack();
      return SocketError("Connect", code);
    }
  }
  ChangeState(wsConnecting);
  guard.Keep();
}

void TAsyncSocket::Listen() {
  if (!IsOwnerThread()) return OnOwnerThread([&] { Listen(); });
  if (hsocket_ != kInvalidSocket && state_ != wsClosed) return RaiseException("Listen: Socket already in use");
  if (!port_assigned_) return SocketError("listen: port not assigned", WSAEINVAL);
  if (!proto_assigned_) return SocketError("listen: protocol not assigned", WSAEINVAL);
  if (!addr_assigned_) return SocketError("listen: address not assigned", WSAEINVAL);
  try {
    ResolveTarget();
  } catch (const ESocketException& error) {
    return RaiseException("listen: " + error.Message());
  }
  DeleteBufferedData();
  CreateHandle();
  if (hsocket_ == kInvalidSocket) return;
  NewHandleGuard guard(*this);
  if (int code = BindTo(sin_addr_, sin_port_)) {
    guard.GiveBack();
    return SocketError("Bind", code);
  }
  ChangeState(wsBound);
  if (wsock::listen(hsocket_, listen_backlog_) == SOCKET_ERROR) {
    int code = WinsockError();
    guard.GiveBack();
    return SocketError("Listen", code);
  }
  SelectEvents(FD_ACCEPT | FD_CLOSE);
  ChangeState(wsListening);
  guard.Keep();
}

// Binds the handle; 0 or the Winsock error.
int TAsyncSocket::BindTo(std::uint32_t address, std::uint16_t port) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = port;
  local.sin_addr.s_addr = address;
  if (wsock::bind(hsocket_, reinterpret_cast<sockaddr*>(&local), sizeof local) == SOCKET_ERROR) return WinsockError();
  return 0;
}

TAsyncSocket::NewHandleGuard::NewHandleGuard(TAsyncSocket& socket)
    : socket_(socket), generation_(socket.handle_generation_) {}

TAsyncSocket::NewHandleGuard::~NewHandleGuard() {
  if (!kept_) GiveBack();
}

void TAsyncSocket::NewHandleGuard::GiveBack() noexcept {
  kept_ = true;
  if (socket_.handle_generation_ != generation_ || socket_.hsocket_ == kInvalidSocket) return;
  try {
    wsock::closesocket(socket_.hsocket_);
  } catch (...) {
  }
  socket_.hsocket_ = kInvalidSocket;
  socket_.selected_events_ = 0;
  try {
    socket_.ChangeState(wsClosed);
  } catch (...) {  // may run while an error is on its way out
  }
}

TSocket TAsyncSocket::Accept() {
  if (!IsOwnerThread()) return OnOwnerThread([&] { return Accept(); });
  if (state_ != wsListening) {
    SocketError("not a listening socket", WSAEINVAL);
    return kInvalidSocket;
  }
  sockaddr_in peer{};
  int size = sizeof peer;
  SOCKET accepted = wsock::accept(hsocket_, reinterpret_cast<sockaddr*>(&peer), &size);
  if (accepted == INVALID_SOCKET) {
    SocketError("Accept", WinsockError());
    return kInvalidSocket;
  }
  return accepted;
}

void TAsyncSocket::Dup(TSocket handle) {
  if (!IsOwnerThread()) return OnOwnerThread([&] { Dup(handle); });
  if (handle == 0 || handle == kInvalidSocket) return SocketError("Dup", WSAEINVAL);
  if (hsocket_ != kInvalidSocket) {
    TSocket old = hsocket_;
    hsocket_ = kInvalidSocket;
    if (wsock::closesocket(old) == SOCKET_ERROR) {
      int code = WinsockError();
      ChangeState(wsClosed);
      return SocketError("Dup (closesocket)", code);
    }
    ChangeState(wsClosed);
  }
  DeleteBufferedData();
  hsocket_ = handle;
  ++handle_generation_;
  close_invoked_ = false;
  paused_ = false;
  ReadBufferSizes();
  SetLingerOption();
  SelectEvents(FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
  ChangeState(wsConnected);
}

// ---------------------------------------------------------------------------
// Network events

void TAsyncSocket::HandleMessage(MsgSlot slot, WPARAM wparam, LPARAM lparam) {
  if (destroying_) return;
  if (slot == CurrentSelectSlot())
    HandleSelect(wparam, lparam);
  else if (slot == msg_dns_)
    HandleDnsAnswer(wparam, lparam);
  else if (slot == msg_close_delayed_)
    Close();
  // msg_reverse_dns_: reverse lookups are never started. The other select
  // slots carry only notifications of closed handles, which are dropped.
}

void TAsyncSocket::HandleSelect(WPARAM wparam, LPARAM lparam) {
  const TSocket target = static_cast<TSocket>(wparam);
  if (target != hsocket_ || hsocket_ == kInvalidSocket || paused_) return;
  const unsigned events = WSAGETSELECTEVENT(lparam);
  const auto error = static_cast<std::uint16_t>(WSAGETSELECTERROR(lparam));
  const unsigned generation = handle_generation_;
  // Each step may close the socket (or even take a new handle); the rest is then dropped.
  auto still_same = [&] { return hsocket_ == target && handle_generation_ == generation; };
  if (events & FD_CONNECT) DoConnectEvent(error);
  if ((events & FD_READ) && still_same()) DoReadEvent(error);
  if ((events & FD_WRITE) && still_same()) DoWriteEvent(error);
  if ((events & FD_ACCEPT) && still_same() && OnSessionAvailable) OnSessionAvailable(*this, error);
  if ((events & FD_CLOSE) && still_same()) DoCloseEvent(error);
}

void TAsyncSocket::DoConnectEvent(std::uint16_t error) {
  if (state_ == wsConnected) return;
  ChangeState(wsConnected);
  if (OnSessionConnected) OnSessionConnected(*this, error);
  if (error != 0 && state_ != wsClosed) Close();
}

void TAsyncSocket::DoReadEvent(std::uint16_t error) {
  if (state_ != wsConnected) {
    ChangeState(wsConnected);
    if (OnSessionConnected) OnSessionConnected(*this, error);
    if (hsocket_ == kInvalidSocket) return;
  }
  ReceiveLoop(error, false);
}

void TAsyncSocket::DoWriteEvent(std::uint16_t error) {
  const TSocket target = hsocket_;
  TryToSend();
  if (hsocket_ == target && send_buffer_.empty() && OnDataSent) OnDataSent(*this, error);
}

void TAsyncSocket::DoCloseEvent(std::uint16_t error) {
  if (state_ == wsConnecting) return;
  const TSocket target = hsocket_;
  ReceiveLoop(error, true);  // everything that came before the close is delivered first
  if (hsocket_ != target) return;
  // The handle goes before OnSessionClosed(error) is raised, so that its
  // handler finds the object free for a new Connect.
  InternalClose(true, error);
}

void TAsyncSocket::ReceiveLoop(std::uint16_t error, bool ignore_no_receive_loop) {
  const TSocket target = hsocket_;
  for (;;) {
    last_error_ = 0;
    received_ = false;
    if (OnDataAvailable)
      OnDataAvailable(*this, error);
    else
      DiscardWaitingBytes();
    if (hsocket_ != target) return;
    if (!ignore_no_receive_loop && (options_ & wsoNoReceiveLoop)) return;
    if (last_error_ != 0) return;
    u_long waiting = 0;
    if (wsock::ioctlsocket(hsocket_, FIONREAD, &waiting) == SOCKET_ERROR) {
      last_error_ = WinsockError();
      return;
    }
    // A handler that took nothing would be offered the same bytes forever;
    // Winsock signals FD_READ again for what is left.
    if (waiting == 0 || !received_) return;
  }
}

void TAsyncSocket::DiscardWaitingBytes() {
  char trash[4096];
  for (;;) {
    u_long waiting = 0;
    if (wsock::ioctlsocket(hsocket_, FIONREAD, &waiting) == SOCKET_ERROR || waiting == 0) return;
    int count = Receive(trash, static_cast<int>(std::min<u_long>(waiting, sizeof trash)));
    if (count <= 0) return;
  }
}

int TAsyncSocket::Receive(void* buffer, int size) {
  if (!IsOwnerThread()) return OnOwnerThread([&] { return Receive(buffer, size); });
  if (hsocket_ == kInvalidSocket) {
    last_error_ = WSAENOTSOCK;
    return -1;
  }
  int count = wsock::recv(hsocket_, static_cast<char*>(buffer), size, 0);
  if (count < 0)
    last_error_ = WinsockError();
  else if (count > 0)
    received_ = true;
  return count;
}

// ---------------------------------------------------------------------------
// Sending

int TAsyncSocket::Send(const void* data, int length) {
  if (!IsOwnerThread()) return OnOwnerThread([&] { return Send(data, length); });
  if (state_ != wsConnected && state_ != wsSocksConnected) {
    SocketError("Send", WSAENOTCONN);
    return -1;
  }
  int accepted = 0;
  const TSocket target = hsocket_;
  if (length > 0) {
    const char* bytes = static_cast<const char*>(data);
    accepted = length;
    // With nothing waiting before them, Winsock takes the bytes straight from
    // the caller, and only what it leaves is copied into the buffer.
    if (send_buffer_.empty()) {
      const int taken = SendSome(bytes, length);
      if (taken < 0) return accepted;  // the socket failed and says so
      bytes += taken;
      length -= taken;
    }
    while (length > 0) {
      if (send_buffer_.empty() || send_buffer_.back().end == kSendBlockSize) send_buffer_.emplace_back();
      Block& tail = send_buffer_.back();
      int count = std::min(length, kSendBlockSize - tail.end);
      std::memcpy(tail.data + tail.end, bytes, static_cast<std::size_t>(count));
      tail.end += count;
      bytes += count;
      length -= count;
      buffered_byte_count_ += count;
    }
  }
  TryToSend();
  // OnDataSent always comes as an event, never from inside Send.
  if (hsocket_ == target && hsocket_ != kInvalidSocket && send_buffer_.empty())
    PostMsg(CurrentSelectSlot(), static_cast<WPARAM>(hsocket_), WSAMAKESELECTREPLY(FD_WRITE, 0));
  return accepted;
}

int TAsyncSocket::SendStr(const std::string& text) {
  return Send(text.data(), static_cast<int>(text.size()));
}

int TAsyncSocket::SendSome(const char* bytes, int length) {
  const int count = wsock::send(hsocket_, bytes, length, 0);
  if (count != SOCKET_ERROR) return count;
  const int code = WinsockError();
  if (code == WSAEWOULDBLOCK) return 0;
  last_error_ = code;
  if (code == WSAECONNRESET || code == WSAENOTSOCK || code == WSAENOTCONN || code == WSAEINVAL ||
      code == WSAECONNABORTED) {
    InternalClose(false, static_cast<std::uint16_t>(code));
    return -1;
  }
  SocketError("TryToSend failed", code);
  return -1;
}

void TAsyncSocket::TryToSend() {
  while (!send_buffer_.empty() && hsocket_ != kInvalidSocket) {
    Block& head = send_buffer_.front();
    if (head.end - head.start <= 0) {
      send_buffer_.pop_front();
      continue;
    }
    // One call hands Winsock the bytes of every waiting block, up to
    // kSendGatherSize: a call costs far more than copying them (under Wine a
    // trip to the server), and a block is only 1460 bytes.
    const char* bytes = head.data + head.start;
    int length = head.end - head.start;
    if (send_buffer_.size() > 1) {
      gather_.clear();
      for (const Block& block : send_buffer_) {
        const int part = block.end - block.start;
        if (gather_.size() + static_cast<size_t>(part) > kSendGatherSize) break;
        gather_.append(block.data + block.start, static_cast<size_t>(part));
      }
      bytes = gather_.data();
      length = static_cast<int>(gather_.size());
    }
    int count = SendSome(bytes, length);
    if (count <= 0) return;  // FD_WRITE will come, or the socket failed
    buffered_byte_count_ = std::max(0, buffered_byte_count_ - count);
    // The bytes taken leave the blocks they came from, in order.
    while (count > 0) {
      Block& taken = send_buffer_.front();
      const int part = std::min(count, taken.end - taken.start);
      taken.start += part;
      count -= part;
      if (taken.start == taken.end) send_buffer_.pop_front();
    }
    // After a partial send the loop goes on: the next send either takes more or
    // fails with WSAEWOULDBLOCK, and only that failure makes Winsock signal FD_WRITE.
  }
}

void TAsyncSocket::DeleteBufferedData() {
  send_buffer_.clear();
  buffered_byte_count_ = 0;
}

// ---------------------------------------------------------------------------
// Closing

int TAsyncSocket::Shutdown(int how) {
  if (!IsOwnerThread()) return OnOwnerThread([&] { return Shutdown(how); });
  if (hsocket_ == kInvalidSocket) return 0;
  return wsock::shutdown(hsocket_, how);
}

void TAsyncSocket::Close() {
  if (!IsOwnerThread()) return OnOwnerThread([&] { Close(); });
  InternalClose(true, 0);
}

void TAsyncSocket::CloseDelayed() { PostMsg(msg_close_delayed_); }

void TAsyncSocket::Abort() {
  if (!IsOwnerThread()) return OnOwnerThread([&] { Abort(); });
  CancelDnsLookup();
  DeleteBufferedData();
  if (state_ == wsConnected && proto_number_ == kTcp && hsocket_ != kInvalidSocket) {
    linger_on_off_ = wsLingerOff;
    try {
      SetLingerOption();  // closesocket returns at once; the system finishes the close
    } catch (const ESocketException&) {
    }
  }
  InternalClose(false, 0);
}

void TAsyncSocket::InternalClose(bool shut, std::uint16_t error) {
  if (closing_) return;
  if (hsocket_ == kInvalidSocket) {
    if (state_ != wsClosed) {
      ChangeState(wsClosed);
      AssignDefaultValue();
    }
    return;
  }
  if (state_ == wsClosed && !destroying_) return;
  closing_ = true;
  try {
    if (shut) Shutdown(1);
    CloseHandleLoop();
  } catch (...) {
    closing_ = false;
    throw;
  }
  closing_ = false;
  ChangeState(wsClosed);
  const unsigned generation = handle_generation_;
  TriggerSessionClosed(error);
  // The handler may have started a new connection on this object; it keeps its settings.
  if (generation == handle_generation_ && hsocket_ == kInvalidSocket) AssignDefaultValue();
}

void TAsyncSocket::CloseHandleLoop() {
  const DWORD start = ::GetTickCount();
  // With a linger time a non-blocking closesocket refuses (WSAEWOULDBLOCK)
  // until the data is out; past the linger time the close becomes abortive.
  const DWORD limit = static_cast<DWORD>(std::max(linger_timeout_, 0)) * 1000 + 1000;
  for (;;) {
    if (wsock::closesocket(hsocket_) == 0) break;
    int code = WinsockError();
    if (code == WSAEWOULDBLOCK) {
      // A socket being destroyed closes at once: nothing may run on its behalf any more.
      if (destroying_ || ::GetTickCount() - start > limit) {
        linger hard{1, 0};
        wsock::setsockopt(hsocket_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
      } else {
        MessagePump();
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
      }
      continue;
    }
    hsocket_ = kInvalidSocket;
    selected_events_ = 0;
    if (code == WSANOTINITIALISED) return;
    last_error_ = code;
    SocketError("Disconnect (closesocket)", code);
    return;
  }
  hsocket_ = kInvalidSocket;
  selected_events_ = 0;
}

// ---------------------------------------------------------------------------
// Pausing, names, threads

void TAsyncSocket::Pause() {
  if (!IsOwnerThread()) return OnOwnerThread([&] { Pause(); });
  paused_ = true;
  if (hsocket_ != kInvalidSocket) wsock::WSAAsyncSelect(hsocket_, Handle(), 0, 0);
}

void TAsyncSocket::Resume() {
  if (!IsOwnerThread()) return OnOwnerThread([&] { Resume(); });
  if (!paused_) return;
  paused_ = false;
  if (hsocket_ != kInvalidSocket && selected_events_) SelectEvents(selected_events_);
}

int TAsyncSocket::GetSockName(TSockAddrIn& name) {
  if (!IsOwnerThread()) return OnOwnerThread([&] { return GetSockName(name); });
  sockaddr_in address{};
  int size = sizeof address;
  if (wsock::getsockname(hsocket_, reinterpret_cast<sockaddr*>(&address), &size) == SOCKET_ERROR) {
    last_error_ = WinsockError();
    return -1;
  }
  name.addr = ToHostOrder(address.sin_addr);
  name.port = PortToHostOrder(address.sin_port);
  return 0;
}

int TAsyncSocket::GetPeerName(TSockAddrIn& name) {
  if (!IsOwnerThread()) return OnOwnerThread([&] { return GetPeerName(name); });
  sockaddr_in address{};
  int size = sizeof address;
  if (wsock::getpeername(hsocket_, reinterpret_cast<sockaddr*>(&address), &size) == SOCKET_ERROR) {
    last_error_ = WinsockError();
    return -1;
  }
  name.addr = ToHostOrder(address.sin_addr);
  name.port = PortToHostOrder(address.sin_port);
  return 0;
}

void TAsyncSocket::ThreadDetach() {
  if (IsOwnerThread() && hsocket_ != kInvalidSocket) wsock::WSAAsyncSelect(hsocket_, Handle(), 0, 0);
  TAsyncWndComponent::ThreadDetach();
}

void TAsyncSocket::ThreadAttach() {
  TAsyncWndComponent::ThreadAttach();
  if (hsocket_ != kInvalidSocket && selected_events_) SelectEvents(selected_events_);
}

}  // namespace n2
