// TAsyncSocket: an event-driven TCP socket over Winsock 1.1 (wsock32.dll,
// loaded at run time on first use and unloaded with the last socket object).
//
// Nothing waits for the network (except the blocking resolution of a host
// name inside Connect): every operation starts and returns at once, and
// Winsock's notifications arrive as window messages on the hidden window of
// the thread that created the socket, where they become the On... events.
//
//   TAsyncSocket socket;
//   socket.OnSessionConnected = [](TAsyncSocket& s, uint16_t error) { if (!error) s.SendStr("HELLO\r\n"); };
//   socket.OnDataAvailable = [](TAsyncSocket& s, uint16_t) {
//     char buffer[4096];
//     int count = s.Receive(buffer, sizeof buffer);  // -1 with LastError() 10035: nothing yet
//     ...
//   };
//   socket.OnSessionClosed = [](TAsyncSocket&, uint16_t error) { ... };
//   socket.SetAddr("127.0.0.1");
//   socket.SetPort("21");            // number or service name
//   socket.Connect();                // OnSessionConnected(error) follows
//   ... the owner thread dispatches messages ...
//
// Active-mode data connection: SetAddr("0.0.0.0"), SetPort("0"), Listen(),
// GetSockName() tells the port; on OnSessionAvailable: h = Accept(); Close();
// Dup(h): the same object now carries the accepted connection.
//
// Errors: refused operations and failed Winsock calls raise ESocketException
// (or call OnError when it is set), with texts such as
// "Socket is not connected (#10057 in Send)".
//
// Threads: construct and destroy a socket on its owner thread, which must keep
// dispatching window messages while the socket is in use; all events run
// there. The operations (DnsLookup ... ReadSocketSndBufSize below) may be called
// from another thread: they are then carried out on the owner thread through
// RunOnOwnerThread (the caller waits, the owner thread must be dispatching
// messages), so the socket's state is only ever touched by the owner thread.
// Property setters and getters are plain: use them on the owner thread, or on
// another thread only while no event of this socket can run (for instance
// before Connect/Listen, or after the operation the caller waits for ended).
// State() alone may be read from any thread at any time. A host name in
// Addr is resolved by Connect on the owner thread, which it blocks meanwhile:
// callers on other threads pass a dotted address (DnsLookup's DnsResult).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/async_wnd_component.h"
#include "net/socket_error_text.h"

namespace n2 {

class TAsyncSocket;

enum TSocketState {
  wsInvalidState,
  wsOpened,
  wsBound,
  wsConnecting,
  wsSocksConnected,
  wsConnected,
  wsAccepting,
  wsListening,
  wsClosed,
};

enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };

// Component options, a set of bits.
enum TSocketOption : unsigned {
  wsoNoReceiveLoop = 1u << 0,  // one OnDataAvailable per network read event
  wsoTcpNoDelay = 1u << 1,     // TCP_NODELAY at connect
  wsoSIO_RCVALL = 1u << 2,     // raw sockets only; never used here
};
using TSocketOptions = unsigned;

// A Winsock socket handle.
using TSocket = std::uintptr_t;
inline constexpr TSocket kInvalidSocket = ~TSocket{0};

// An IPv4 address and port in host byte order: 127.0.0.1 is 0x7F000001.
struct TSockAddrIn {
  std::uint32_t addr = 0;
  std::uint16_t port = 0;
  std::string AddrText() const;  // dotted, "127.0.0.1"
};

// A block to receive into, too large for the stack, that its owner keeps
// between reads. A read nested in a handler of an earlier one (a handler that
// pumps messages) finds the block lent out and gets one of its own.
class LentBlock {
 public:
  LentBlock(std::string& spare, size_t size) : spare_(spare), block_(std::move(spare)) { block_.resize(size); }
  LentBlock(const LentBlock&) = delete;
  LentBlock& operator=(const LentBlock&) = delete;
  ~LentBlock() { spare_ = std::move(block_); }
  char* Data() { return block_.data(); }

 private:
  std::string& spare_;
  std::string block_;
};

// The size of the next block of an upload read from a file. Every block
// costs a call into Winsock (under Wine a trip to its server) and a trip
// through the owner thread's queue, so on a fast line larger blocks move more.
// But a client's time limit runs from block to block, and a block Winsock
// cannot take at once waits in the socket's buffer until the line has carried
// it. So the size starts at first and doubles, up to most, only while Winsock
// takes every block whole; from the first block that has to wait it stays at
// first. A block that waits is then at most first, or twice one that Winsock
// had just taken whole.
class SendBlockSize {
 public:
  SendBlockSize(size_t first, size_t most) : first_(first), most_(most), next_(first) {}
  size_t Next() const { return next_; }
  void Sent(bool whole) {
    if (!whole) waited_ = true;
    next_ = waited_ ? first_ : std::min(next_ * 2, most_);
  }

 private:
  size_t first_, most_, next_;
  bool waited_ = false;
};

class TAsyncSocket : public TAsyncWndComponent {
 public:
  // error is a Winsock code, 0 for success.
  using TSocketEvent = std::function<void(TAsyncSocket& sender, std::uint16_t error)>;
  using TChangeStateEvent = std::function<void(TAsyncSocket& sender, TSocketState old_state, TSocketState new_state)>;
  using TErrorEvent = std::function<void(TAsyncSocket& sender)>;
  // can_close starts true: the socket is aborted after the handler unless it clears it.
  using TBgExceptionEvent = std::function<void(TAsyncSocket& sender, const std::exception& error, bool& can_close)>;

  static constexpr int kSendBlockSize = 1460;

  TAsyncSocket();
  // Cancels a running lookup and closes the socket, raising no event.
  ~TAsyncSocket() override;

  // ---- Operations ----

  // Starts resolving host. A dotted address completes at once: OnDnsLookupDone(0)
  // is raised before DnsLookup returns. Otherwise OnDnsLookupDone(error) follows
  // (11001 for an unknown host). "DNS lookup: invalid host name." for an empty host.
  void DnsLookup(const std::string& host);
  // Cancels a running lookup; OnDnsLookupDone(10004) follows at once.
  void CancelDnsLookup();
  // Opens a TCP connection to Addr:Port; OnSessionConnected(error) follows,
  // and on error OnSessionClosed. Host names in Addr are resolved here, blocking.
  void Connect();
  // Binds to Addr:Port ("0" lets the system choose) and listens; every incoming
  // connection raises OnSessionAvailable.
  void Listen();
  // Accepts the waiting connection (only while wsListening) and returns its handle.
  TSocket Accept();
  // Makes this object carry an already connected handle; state wsConnected,
  // no OnSessionConnected.
  void Dup(TSocket handle);
  // Queues bytes and starts sending; returns the count accepted (0 for a length
  // of 0 or less). OnDataSent comes as an event once everything went to Winsock,
  // never inside Send. Raises "Socket is not connected (#10057 in Send)" unless
  // connected.
  int Send(const void* data, int length);
  int SendStr(const std::string& text);
  // Reads up to size bytes: the count, 0 when the peer has closed, or -1 with
  // LastError() set (10035: nothing has arrived yet).
  int Receive(void* buffer, int size);
  // Graceful close: shutdown of sending, closesocket, state wsClosed,
  // OnSessionClosed(0) unless it was already raised for this connection; then
  // the defaults of Proto, LocalAddr, LocalPort, linger and FlushTimeout come
  // back and Addr and Port must be set again.
  void Close();
  // Close, from a private message handled later.
  void CloseDelayed();
  // Immediate close: cancels a lookup, drops unsent data, returns at once.
  void Abort();
  // Winsock shutdown: 1 stops sending, 2 both directions. Returns 0 or -1.
  int Shutdown(int how);
  // Stop and restart the delivery of network events.
  void Pause();
  void Resume();
  // Local (GetSockName) and remote (GetPeerName) address of the socket;
  // 0, or -1 with LastError() set.
  int GetSockName(TSockAddrIn& name);
  int GetPeerName(TSockAddrIn& name);
  // Applies LingerOnOff/LingerTimeout to the handle (nothing for wsLingerNoSet;
  // "Cannot set linger option at this time" without a handle).
  void SetLingerOption();
  // The current SO_SNDBUF of the handle; a failure is a socket error named
  // "getsockopt(SO_SNDBUF)".
  int ReadSocketSndBufSize();
  // Moving the socket to another thread (the plug-in does not): its
  // notifications follow its new message numbers.
  void ThreadDetach() override;
  void ThreadAttach() override;

  // ---- Properties ----

  const std::string& Addr() const noexcept { return addr_; }
  void SetAddr(const std::string& addr);
  const std::string& Port() const noexcept { return port_; }
  void SetPort(const std::string& port);
  const std::string& Proto() const noexcept { return proto_; }
  void SetProto(const std::string& proto);
  const std::string& LocalAddr() const noexcept { return local_addr_; }
  void SetLocalAddr(const std::string& addr);
  const std::string& LocalPort() const noexcept { return local_port_; }
  void SetLocalPort(const std::string& port);
  TSocketLingerOnOff LingerOnOff() const noexcept { return linger_on_off_; }
  void SetLingerOnOff(TSocketLingerOnOff value) noexcept { linger_on_off_ = value; }
  int LingerTimeout() const noexcept { return linger_timeout_; }
  void SetLingerTimeout(int seconds) noexcept { linger_timeout_ = seconds; }
  TSocketOptions ComponentOptions() const noexcept { return options_; }
  void SetComponentOptions(TSocketOptions options) noexcept { options_ = options; }
  int ListenBacklog() const noexcept { return listen_backlog_; }
  void SetListenBacklog(int backlog) noexcept { listen_backlog_ = backlog; }
  int LastError() const noexcept { return last_error_; }
  void SetLastError(int code) noexcept { last_error_ = code; }
  int FlushTimeout() const noexcept { return flush_timeout_; }
  void SetFlushTimeout(int seconds) noexcept { flush_timeout_ = seconds; }
  bool MultiThreaded() const noexcept { return multi_threaded_; }
  void SetMultiThreaded(bool value) noexcept { multi_threaded_ = value; }
  TSocketState State() const noexcept { return state_; }
  // First address found by the last DnsLookup, dotted; the list holds them all.
  const std::string& DnsResult() const noexcept { return dns_result_; }
  const std::vector<std::string>& DnsResultList() const noexcept { return dns_result_list_; }
  // Bytes accepted by Send and not yet handed to Winsock.
  int BufferedByteCount() const noexcept { return buffered_byte_count_; }
  bool AllSent() const noexcept { return send_buffer_.empty(); }
  bool Paused() const noexcept { return paused_; }
  TSocket HSocket() const noexcept { return hsocket_; }
  // SO_SNDBUF and SO_RCVBUF as read when the handle was made or taken.
  int SocketSndBufSize() const noexcept { return snd_buf_size_; }
  int SocketRcvBufSize() const noexcept { return rcv_buf_size_; }

  // Winsock version asked for at start-up, module-wide (1.1). Changing it while
  // Winsock is loaded raises "SetReqVerLow: WinSock version can't be changed now".
  static std::uint8_t ReqVerLow();
  static std::uint8_t ReqVerHigh();
  static void SetReqVerLow(std::uint8_t value);
  static void SetReqVerHigh(std::uint8_t value);
  // Number of live socket objects in the module.
  static int SocketCount();

  // ---- Events (run on the owner thread) ----

  TSocketEvent OnDnsLookupDone;
  TSocketEvent OnSessionConnected;
  TSocketEvent OnSessionAvailable;
  TSocketEvent OnDataAvailable;  // no handler: waiting bytes are read and dropped
  TSocketEvent OnDataSent;
  // Once per connection, whichever way it ends; the handle is already closed
  // (State() is wsClosed), so the handler may Connect again at once.
  TSocketEvent OnSessionClosed;
  TChangeStateEvent OnChangeState;
  TErrorEvent OnError;  // when set, errors go here (LastError() holds the code) instead of raising
  TBgExceptionEvent OnBgException;

 protected:
  void HandleMessage(MsgSlot slot, WPARAM wparam, LPARAM lparam) override;
  void HandleBackgroundException(const std::exception& error) override;

 private:
  struct Block {
    char data[kSendBlockSize];
    int start = 0;  // first byte not yet sent
    int end = 0;    // bytes filled
  };
  void ChangeState(TSocketState new_state);
  void AssignDefaultValue();
  void RaiseException(const std::string& message);
  void SocketError(const std::string& call, int code);
  // Closes a handle just made by Connect or Listen unless the operation keeps it.
  class NewHandleGuard {
   public:
    explicit NewHandleGuard(TAsyncSocket& socket);
    ~NewHandleGuard();
    void GiveBack() noexcept;
    void Keep() noexcept { kept_ = true; }

   private:
    TAsyncSocket& socket_;
    unsigned generation_;
    bool kept_ = false;
  };
  void ResolveTarget();
  void CreateHandle();
  int BindTo(std::uint32_t address, std::uint16_t port);
  void SelectEvents(long events);
  void InternalClose(bool shut, std::uint16_t error);
  void CloseHandleLoop();
  void TriggerSessionClosed(std::uint16_t error);
  void HandleSelect(WPARAM wparam, LPARAM lparam);
  void HandleDnsAnswer(WPARAM wparam, LPARAM lparam);
  void DoConnectEvent(std::uint16_t error);
  void DoReadEvent(std::uint16_t error);
  void DoWriteEvent(std::uint16_t error);
  void DoCloseEvent(std::uint16_t error);
  void ReceiveLoop(std::uint16_t error, bool ignore_no_receive_loop);
  void DiscardWaitingBytes();
  void TryToSend();
  // One send of up to length bytes: the count Winsock took (0 when it would
  // block, and FD_WRITE will come), or -1 when the socket failed, which has
  // been reported or has closed it.
  int SendSome(const char* bytes, int length);
  void DeleteBufferedData();
  void ReadBufferSizes();
  void SetSocketOption(int level, int name, const void* value, int size, const char* call);
  template <class F>
  auto OnOwnerThread(F&& f);

  // Properties.
  std::string addr_, port_, proto_ = "tcp", local_addr_ = "0.0.0.0", local_port_ = "0";
  bool addr_assigned_ = false, port_assigned_ = false, proto_assigned_ = true;
  TSocketLingerOnOff linger_on_off_ = wsLingerOn;
  int linger_timeout_ = 0;
  TSocketOptions options_ = 0;
  int listen_backlog_ = 5;
  int last_error_ = 0;
  int flush_timeout_ = 60;
  bool multi_threaded_ = false;
  std::atomic<TSocketState> state_{wsClosed};  // State() may be polled from any thread
  std::string dns_result_;
  std::vector<std::string> dns_result_list_;

  // Resolved target, remembered per setting.
  bool addr_resolved_ = false, port_resolved_ = false, local_port_resolved_ = false, proto_resolved_ = false;
  std::uint32_t sin_addr_ = 0;   // network byte order
  std::uint16_t sin_port_ = 0;   // network byte order
  std::uint16_t local_sin_port_ = 0;
  int proto_number_ = 6;
  int socket_type_ = 1;          // SOCK_STREAM

  // Connection.
  TSocket hsocket_ = kInvalidSocket;
  long selected_events_ = 0;
  bool close_invoked_ = false;  // OnSessionClosed raised for this connection
  bool closing_ = false;        // inside InternalClose (it may dispatch messages)
  bool paused_ = false;
  bool destroying_ = false;
  unsigned handle_generation_ = 0;  // counts handles made or taken
  bool received_ = false;           // Receive got bytes since the receive loop's last pass
  int snd_buf_size_ = 0, rcv_buf_size_ = 0;

  // Send buffer: blocks of kSendBlockSize bytes.
  std::deque<Block> send_buffer_;
  // The waiting blocks' bytes copied together for one send call: at least
  // the FTP client's upload block.
  static constexpr size_t kSendGatherSize = 262144;
  std::string gather_;
  int buffered_byte_count_ = 0;

  // Name lookup.
  void* dns_handle_ = nullptr;   // HANDLE of the running WSAAsyncGetHostByName
  bool dns_starting_ = false;
  bool dns_answer_early_ = false;
  WPARAM dns_early_wparam_ = 0;
  LPARAM dns_early_lparam_ = 0;
  // Result areas of the lookups whose answer has not come yet. Winsock writes
  // into an area until it posts the answer, even for a cancelled lookup, so an
  // area lives until its answer arrives (or for good, if the socket goes first).
  struct DnsArea {
    void* request;
    std::unique_ptr<char[]> data;
  };
  std::vector<DnsArea> dns_areas_;

  // Network notifications of successive handles come on rotating message
  // numbers, so that one still queued for a closed handle is never taken for
  // the next handle, which Winsock may give the same value.
  static constexpr unsigned kSelectSlots = 4;
  MsgSlot msg_select_[kSelectSlots];
  MsgSlot CurrentSelectSlot() const noexcept { return msg_select_[handle_generation_ % kSelectSlots]; }
  MsgSlot msg_dns_, msg_reverse_dns_, msg_close_delayed_;
};

}  // namespace n2
