// The event-driven socket against loopback peers. Events are waited for by
// dispatching this thread's messages until a condition holds (bounded).
#include "net/async_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/winsock_api.h"
#include "base/scoped_handle.h"
#include "tests/net/loopback_peer.h"
#include "tests/support/test_support.h"

namespace n2 {
namespace {

using n2test::LoopbackPeer;
using n2test::PumpMessagesUntil;

std::string Pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return data;
}

// Records the events of one socket, in order.
struct EventLog {
  explicit EventLog(TAsyncSocket& socket) {
    socket.OnSessionConnected = [this](TAsyncSocket&, uint16_t e) { Add("connected", e); };
    socket.OnSessionClosed = [this](TAsyncSocket&, uint16_t e) { Add("closed", e); };
    socket.OnDataSent = [this](TAsyncSocket&, uint16_t e) { Add("sent", e); };
    socket.OnDataAvailable = [this](TAsyncSocket& s, uint16_t) {
      char buffer[4096];
      int n = s.Receive(buffer, sizeof buffer);
      if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
    };
  }
  void Add(const std::string& name, uint16_t error) { events.push_back(name + ":" + std::to_string(error)); }
  bool Has(const std::string& event) const {
    for (auto& e : events)
      if (e == event) return true;
    return false;
  }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (auto& e : events) n += e.rfind(prefix, 0) == 0;
    return n;
  }
  std::vector<std::string> events;
  std::string received;
};

void ConnectTo(TAsyncSocket& socket, unsigned short port) {
  socket.SetAddr("127.0.0.1");
  socket.SetPort(std::to_string(port));
  socket.Connect();
}

TEST(AsyncSocketTest, DottedAddressLookupCompletesBeforeReturning) {
  TAsyncSocket socket;
  int done = -1;
  socket.OnDnsLookupDone = [&](TAsyncSocket&, uint16_t error) { done = error; };
  socket.DnsLookup("127.0.0.1");
  EXPECT_EQ(done, 0);
  EXPECT_EQ(socket.DnsResult(), "127.0.0.1");
  ASSERT_EQ(socket.DnsResultList().size(), 1u);

  try {
    socket.DnsLookup("");
    FAIL() << "an empty host name must be refused";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "DNS lookup: invalid host name.");
  }
}

TEST(AsyncSocketTest, UnknownHostReportsHostNotFoundLater) {
  TAsyncSocket socket;
  int done = -1;
  socket.OnDnsLookupDone = [&](TAsyncSocket&, uint16_t error) { done = error; };
  socket.DnsLookup("no-such-host.invalid");
  EXPECT_EQ(done, -1) << "a name lookup must not complete inside DnsLookup";
  ASSERT_TRUE(PumpMessagesUntil([&] { return done != -1; }, 30000));
  EXPECT_EQ(done, 11001);
  EXPECT_EQ(socket.DnsResult(), "");
}

TEST(AsyncSocketTest, NameLookupOfLocalhostFindsLoopback) {
  TAsyncSocket socket;
  int done = -1;
  socket.OnDnsLookupDone = [&](TAsyncSocket&, uint16_t error) { done = error; };
  socket.DnsLookup("localhost");
  ASSERT_TRUE(PumpMessagesUntil([&] { return done != -1; }, 30000));
  EXPECT_EQ(done, 0);
  EXPECT_EQ(socket.DnsResult().rfind("127.", 0), 0u) << socket.DnsResult();
}

TEST(AsyncSocketTest, CancelledLookupsNeitherReportLateNorSpoilTheNextOne) {
  std::vector<int> done;
  {
    TAsyncSocket doomed;  // destroyed with its lookup still running
    doomed.OnDnsLookupDone = [&](TAsyncSocket&, uint16_t error) { done.push_back(error); };
    doomed.DnsLookup("localhost");
  }
  EXPECT_TRUE(done.empty()) << "no event while the socket is being destroyed";

  TAsyncSocket socket;
  socket.OnDnsLookupDone = [&](TAsyncSocket&, uint16_t error) { done.push_back(error); };
  socket.DnsLookup("no-such-host.invalid");
  socket.CancelDnsLookup();
  ASSERT_EQ(done, std::vector<int>{10004});
  socket.DnsLookup("localhost");
  ASSERT_TRUE(PumpMessagesUntil([&] { return done.size() == 2; }, 30000));
  EXPECT_EQ(done[1], 0);
  EXPECT_EQ(socket.DnsResult().rfind("127.", 0), 0u) << socket.DnsResult();
  // The cancelled lookup's answer, if it still comes, changes nothing.
  socket.DnsLookup("127.0.0.2");
  ASSERT_TRUE(PumpMessagesUntil([&] { return done.size() == 3; }));
  EXPECT_EQ(socket.DnsResult(), "127.0.0.2");
}

TEST(AsyncSocketTest, ExchangesDataAndReportsSentDataAsAnEvent) {
  LoopbackPeer peer([](SOCKET s) {
    char buffer[64];
    int n = ::recv(s, buffer, sizeof buffer, 0);
    if (n > 0) n2test::SendAll(s, "echo:" + std::string(buffer, static_cast<std::size_t>(n)));
    n2test::RecvAll(s);  // until the client closes
  });
  TAsyncSocket socket;
  EventLog log(socket);
  std::vector<TSocketState> states;
  socket.OnChangeState = [&](TAsyncSocket&, TSocketState, TSocketState now) { states.push_back(now); };
  socket.OnSessionConnected = [&](TAsyncSocket& s, uint16_t e) {
    log.Add("connected", e);
    EXPECT_EQ(s.SendStr("ping"), 4);
    EXPECT_FALSE(log.Has("sent:0")) << "OnDataSent raised inside Send";
  };
  ConnectTo(socket, peer.Port());
  ASSERT_TRUE(PumpMessagesUntil([&] { return log.received == "echo:ping"; }));
  EXPECT_TRUE(log.Has("connected:0"));
  EXPECT_TRUE(log.Has("sent:0"));
  EXPECT_EQ(socket.BufferedByteCount(), 0);
  EXPECT_EQ(states, (std::vector<TSocketState>{wsOpened, wsConnecting, wsConnected}));

  socket.Close();
  EXPECT_EQ(socket.State(), wsClosed);
  socket.Close();
  EXPECT_EQ(log.Count("closed"), 1) << "OnSessionClosed must come once per connection";
  // A close forgets the target: it must be given again.
  EXPECT_EQ(socket.Proto(), "tcp");
  EXPECT_EQ(socket.LocalAddr(), "0.0.0.0");
  EXPECT_EQ(socket.LingerOnOff(), wsLingerOn);
  try {
    socket.Connect();
    FAIL() << "Connect without a port after a close";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Connect: No Port Specified");
  }
}

TEST(AsyncSocketTest, ConnectionRefusedReportsConnectedWithErrorThenClosed) {
  TAsyncSocket socket;
  EventLog log(socket);
  ConnectTo(socket, n2test::ClosedPort());
  ASSERT_TRUE(PumpMessagesUntil([&] { return log.Count("closed") > 0; }));
  ASSERT_GE(log.events.size(), 2u);
  EXPECT_EQ(log.events[0], "connected:10061");
  EXPECT_EQ(log.events[1].rfind("closed", 0), 0u);
  EXPECT_EQ(socket.State(), wsClosed);
  EXPECT_EQ(socket.HSocket(), kInvalidSocket);
}

// The peer sends a block and closes at once; every byte must arrive before the close.
void ExpectAllDataBeforeClose(TSocketOptions options) {
  const std::string data = Pattern(300000);
  LoopbackPeer peer([&](SOCKET s) { n2test::SendAll(s, data); });
  TAsyncSocket socket;
  socket.SetComponentOptions(options);
  EventLog log(socket);
  std::size_t received_at_close = 0;
  socket.OnSessionClosed = [&](TAsyncSocket&, uint16_t e) {
    received_at_close = log.received.size();
    log.Add("closed", e);
  };
  ConnectTo(socket, peer.Port());
  ASSERT_TRUE(PumpMessagesUntil([&] { return log.Count("closed") > 0; }));
  EXPECT_EQ(received_at_close, data.size());
  EXPECT_TRUE(log.received == data);
  EXPECT_EQ(socket.State(), wsClosed);
}

TEST(AsyncSocketTest, PeerThatSendsAndClosesDeliversAllDataFirst) { ExpectAllDataBeforeClose(0); }

TEST(AsyncSocketTest, PeerThatSendsAndClosesDeliversAllDataFirstWithoutReceiveLoop) {
  ExpectAllDataBeforeClose(wsoNoReceiveLoop);
}

TEST(AsyncSocketTest, LargeSendArrivesWholeAndEndsWithOneDataSent) {
  const std::string data = Pattern(3 * 1024 * 1024 + 17);
  std::string at_peer;
  LoopbackPeer peer([&](SOCKET s) { at_peer = n2test::RecvAll(s); });
  TAsyncSocket socket;
  EventLog log(socket);
  ConnectTo(socket, peer.Port());
  ASSERT_TRUE(PumpMessagesUntil([&] { return socket.State() == wsConnected && log.Has("sent:0"); }));
  log.events.clear();
  EXPECT_EQ(socket.Send(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
  EXPECT_EQ(socket.Send(data.data(), 0), 0);
  ASSERT_TRUE(PumpMessagesUntil([&] { return log.Has("sent:0"); }, 30000));
  EXPECT_EQ(socket.BufferedByteCount(), 0);
  EXPECT_TRUE(socket.AllSent());
  socket.Shutdown(1);
  ASSERT_TRUE(PumpMessagesUntil([&] { return log.Count("closed") > 0; }, 30000));
  peer.Join();
  EXPECT_EQ(at_peer.size(), data.size());
  EXPECT_TRUE(at_peer == data);
}

// A block that has to wait in the socket's buffer must get through within a
// client's time limit: blocks grow only while Winsock takes each whole.
TEST(AsyncSocketTest, SendBlocksGrowOnlyWhileTakenWhole) {
  SendBlockSize size(100, 700);
  std::vector<size_t> sizes;
  for (bool whole : {true, true, true, true, false, true, true}) {
    sizes.push_back(size.Next());
    size.Sent(whole);
  }
  sizes.push_back(size.Next());
  EXPECT_EQ(sizes, (std::vector<size_t>{100, 200, 400, 700, 700, 100, 100, 100}));
}

TEST(AsyncSocketTest, PeerResetWhileSendingEndsTheSessionOnce) {
  LoopbackPeer peer([](SOCKET s) {
    char buffer[1024];
    ::recv(s, buffer, sizeof buffer, 0);  // the first bytes, then a reset
    linger hard{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
  });
  TAsyncSocket socket;
  EventLog log(socket);
  std::string background;
  socket.OnBgException = [&](TAsyncSocket&, const std::exception& e, bool&) { background = e.what(); };
  const std::string block = Pattern(TAsyncSocket::kSendBlockSize);
  socket.OnDataSent = [&](TAsyncSocket& s, uint16_t) {
    if (s.State() == wsConnected) s.SendStr(block);  // keep sending until the connection is gone
  };
  ConnectTo(socket, peer.Port());
  ASSERT_TRUE(PumpMessagesUntil([&] { return log.Count("closed") > 0; }));
  peer.Join();
  PumpMessagesUntil([&] { return socket.State() == wsClosed; });
  EXPECT_EQ(socket.State(), wsClosed);
  EXPECT_EQ(log.Count("closed"), 1);
  EXPECT_EQ(background, "") << "a lost connection is a close, not an error";
}

TEST(AsyncSocketTest, SendWhenNotConnectedRaisesSocketError) {
  TAsyncSocket socket;
  try {
    socket.SendStr("x");
    FAIL() << "Send on a closed socket";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Socket is not connected (#10057 in Send)");
    EXPECT_STREQ(e.KindName(), "ESocketException");
  }
  EXPECT_EQ(socket.LastError(), 10057);

  // With OnError assigned the error goes there instead.
  int errors = 0;
  socket.OnError = [&](TAsyncSocket&) { ++errors; };
  EXPECT_EQ(socket.SendStr("x"), -1);
  EXPECT_EQ(errors, 1);
}

TEST(AsyncSocketTest, AbortDropsUnsentDataAndReturnsAtOnce) {
  n2::Event release = n2::Event::ManualReset();
  LoopbackPeer peer([&](SOCKET) { release.Wait(10000); });  // never reads
  TAsyncSocket socket;
  EventLog log(socket);
  ConnectTo(socket, peer.Port());
  ASSERT_TRUE(PumpMessagesUntil([&] { return socket.State() == wsConnected; }));
  const std::string data = Pattern(32 * 1024 * 1024);
  socket.Send(data.data(), static_cast<int>(data.size()));
  ASSERT_GT(socket.BufferedByteCount(), 0) << "the peer's buffers took everything; the test needs more data";
  socket.Abort();
  EXPECT_EQ(socket.State(), wsClosed);
  EXPECT_EQ(socket.BufferedByteCount(), 0);
  EXPECT_EQ(log.Count("closed"), 1);
  release.Set();
}

TEST(AsyncSocketTest, ListenAcceptAndDupCarryTheIncomingConnection) {
  TAsyncSocket socket;
  EventLog log(socket);
  socket.SetAddr("0.0.0.0");
  socket.SetPort("0");
  socket.Listen();
  EXPECT_EQ(socket.State(), wsListening);
  TSockAddrIn name;
  ASSERT_EQ(socket.GetSockName(name), 0);
  ASSERT_NE(name.port, 0);

  TSocket accepted = kInvalidSocket;
  socket.OnSessionAvailable = [&](TAsyncSocket& s, uint16_t error) {
    EXPECT_EQ(error, 0);
    accepted = s.Accept();
    s.Close();
    s.Dup(accepted);
  };
  std::string reply;
  std::thread client([&, port = name.port] {
    n2test::WinsockUser winsock;
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    n2test::SetTimeouts(s);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      n2test::SendAll(s, "data over the accepted connection");
      char buffer[16];
      int n;
      while (reply.size() < 6 && (n = ::recv(s, buffer, sizeof buffer, 0)) > 0)
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    ::closesocket(s);
  });
  bool got_data = PumpMessagesUntil([&] { return log.received == "data over the accepted connection"; });
  EXPECT_TRUE(got_data);
  EXPECT_EQ(socket.State(), wsConnected);
  EXPECT_EQ(socket.HSocket(), accepted);
  EXPECT_FALSE(log.Has("connected:0")) << "Dup raises no OnSessionConnected";
  log.events.clear();
  if (got_data) socket.SendStr("thanks");
  EXPECT_TRUE(PumpMessagesUntil([&] { return log.Count("closed") > 0; }));  // the client closes after the reply
  client.join();
  EXPECT_EQ(reply, "thanks");
  EXPECT_EQ(log.events.back(), "closed:0");

  try {
    socket.Accept();
    FAIL() << "Accept on a socket that does not listen";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Invalid argument (#10022 in not a listening socket)");
  }
}

TEST(AsyncSocketTest, FailedBindLeavesTheSocketFreeForTheNextConnect) {
  LoopbackPeer peer([](SOCKET s) { n2test::SendAll(s, "hi"); });
  TAsyncSocket socket;
  EventLog log(socket);
  socket.SetLocalAddr("192.0.2.1");  // an address this machine does not have
  try {
    ConnectTo(socket, peer.Port());
    FAIL() << "binding to a foreign address";
  } catch (const ESocketException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Bind socket failed - ", 0), 0u) << e.what();
  }
  EXPECT_EQ(socket.State(), wsClosed);
  EXPECT_EQ(socket.HSocket(), kInvalidSocket);
  socket.SetLocalAddr("0.0.0.0");
  ConnectTo(socket, peer.Port());
  ASSERT_TRUE(PumpMessagesUntil([&] { return log.received == "hi"; }));
}

TEST(AsyncSocketTest, ResolverRefusesBadTargets) {
  TAsyncSocket socket;
  auto connect_error = [&](const std::string& addr, const std::string& port) -> std::string {
    socket.SetAddr(addr);
    socket.SetPort(port);
    try {
      socket.Connect();
    } catch (const ESocketException& e) {
      return e.what();
    }
    socket.Abort();
    return "";
  };
  EXPECT_EQ(connect_error("127.0.0.1", "70000"), "connect: Winsock Resolve Port: Invalid Port.");
  EXPECT_EQ(connect_error("127.0.0.1", "21x"), "connect: Winsock Resolve Port: Invalid Port.");
  EXPECT_EQ(connect_error("", "21"), "connect: Winsock Resolve Host: '' Invalid Hostname.");
  EXPECT_EQ(connect_error("127.0.0.1", "no-such-service").rfind(
                "connect: Winsock Resolve Port: Cannot convert port 'no-such-service' - ", 0),
            0u);
  socket.SetProto("");
  EXPECT_EQ(connect_error("127.0.0.1", "21"), "Connect: No Protocol Specified");
}

TEST(AsyncSocketTest, ServiceNameGivesThePort) {
  TAsyncSocket socket;
  socket.SetAddr("127.0.0.1");
  socket.SetPort("ftp");
  socket.Connect();  // whether or not anything listens on 21, the name must resolve
  socket.Abort();
}

TEST(AsyncSocketTest, HandlerThatReadsNothingDoesNotHangTheThread) {
  n2::Event release = n2::Event::ManualReset();
  LoopbackPeer peer([&](SOCKET s) {
    n2test::SendAll(s, "waiting bytes");
    release.Wait(10000);
  });
  TAsyncSocket socket;
  int offers = 0;
  std::string received;
  bool read_now = false;
  socket.OnDataAvailable = [&](TAsyncSocket& s, uint16_t) {
    ++offers;
    if (!read_now) return;
    char buffer[64];
    int n = s.Receive(buffer, sizeof buffer);
    if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
  };
  ConnectTo(socket, peer.Port());
  ASSERT_TRUE(PumpMessagesUntil([&] { return offers > 0; }));
  read_now = true;  // the bytes are still there for a later read
  char buffer[64];
  int n = socket.Receive(buffer, sizeof buffer);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), "waiting bytes");
  release.Set();
  socket.Abort();
}

TEST(AsyncSocketTest, CloseReportHandlerCanConnectAgain) {
  LoopbackPeer first([](SOCKET s) { n2test::SendAll(s, "first,"); });
  LoopbackPeer second([](SOCKET s) {
    n2test::SendAll(s, "second");
    n2test::RecvAll(s);
  });
  TAsyncSocket socket;
  EventLog log(socket);
  socket.OnSessionClosed = [&](TAsyncSocket& s, uint16_t e) {
    log.Add("closed", e);
    if (log.Count("closed") == 1) {
      s.SetLingerTimeout(3);
      ConnectTo(s, second.Port());
    }
  };
  ConnectTo(socket, first.Port());
  ASSERT_TRUE(PumpMessagesUntil([&] { return log.received == "first,second"; }));
  EXPECT_EQ(socket.State(), wsConnected);
  EXPECT_EQ(socket.LingerTimeout(), 3) << "the new connection's settings must survive the old one's close";
  socket.Abort();
}

TEST(AsyncSocketTest, PausedSocketHoldsItsEventsUntilResumed) {
  n2::Event sent = n2::Event::ManualReset();
  LoopbackPeer peer([&](SOCKET s) {
    char go;
    if (::recv(s, &go, 1, 0) == 1) n2test::SendAll(s, "while paused");
    sent.Set();
    n2test::RecvAll(s);
  });
  TAsyncSocket socket;
  EventLog log(socket);
  ConnectTo(socket, peer.Port());
  ASSERT_TRUE(PumpMessagesUntil([&] { return socket.State() == wsConnected; }));
  socket.Pause();
  socket.SendStr("!");
  ASSERT_TRUE(sent.Wait(10000));
  // The bytes are here; handling every pending message must not deliver them.
  u_long waiting = 0;
  ASSERT_TRUE(PumpMessagesUntil([&] {
    return wsock::ioctlsocket(socket.HSocket(), FIONREAD, &waiting) == 0 && waiting > 0;
  }));
  socket.MessagePump();
  EXPECT_EQ(log.received, "");
  socket.Resume();
  ASSERT_TRUE(PumpMessagesUntil([&] { return log.received == "while paused"; }));
  socket.Abort();
}

TEST(AsyncSocketTest, CloseDelayedClosesFromAMessage) {
  LoopbackPeer peer([](SOCKET s) { n2test::RecvAll(s); });
  TAsyncSocket socket;
  EventLog log(socket);
  ConnectTo(socket, peer.Port());
  ASSERT_TRUE(PumpMessagesUntil([&] { return socket.State() == wsConnected; }));
  socket.CloseDelayed();
  EXPECT_EQ(socket.State(), wsConnected);
  ASSERT_TRUE(PumpMessagesUntil([&] { return socket.State() == wsClosed; }));
  EXPECT_EQ(log.Count("closed"), 1);
}

TEST(AsyncSocketTest, ExceptionInAHandlerReachesOnBgExceptionAndAbortsTheSocket) {
  LoopbackPeer peer([](SOCKET s) {
    n2test::SendAll(s, "boom");
    n2test::RecvAll(s);
  });
  TAsyncSocket socket;
  std::string caught;
  socket.OnDataAvailable = [](TAsyncSocket&, uint16_t) { throw Exception("handler failed"); };
  socket.OnBgException = [&](TAsyncSocket&, const std::exception& e, bool&) { caught = e.what(); };
  ConnectTo(socket, peer.Port());
  ASSERT_TRUE(PumpMessagesUntil([&] { return !caught.empty(); }));
  EXPECT_EQ(caught, "handler failed");
  EXPECT_EQ(socket.State(), wsClosed);
}

TEST(AsyncSocketTest, OperationsStartedOnAnotherThreadRunTheirEventsOnTheOwner) {
  LoopbackPeer peer([](SOCKET s) {
    n2test::SendAll(s, "hello");
    n2test::RecvAll(s);
  });
  TAsyncSocket socket;
  const DWORD owner = ::GetCurrentThreadId();
  std::atomic<bool> worker_done{false};
  std::vector<DWORD> event_threads;
  std::string received;
  socket.OnDnsLookupDone = [&](TAsyncSocket&, uint16_t) { event_threads.push_back(::GetCurrentThreadId()); };
  socket.OnSessionConnected = [&](TAsyncSocket&, uint16_t) { event_threads.push_back(::GetCurrentThreadId()); };
  socket.OnDataAvailable = [&](TAsyncSocket& s, uint16_t) {
    event_threads.push_back(::GetCurrentThreadId());
    char buffer[16];
    int n = s.Receive(buffer, sizeof buffer);
    if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
  };
  std::string worker_error;
  std::thread worker([&] {
    try {
      socket.DnsLookup("127.0.0.1");
      socket.SetAddr(socket.DnsResult());
      socket.SetPort(peer.PortText());
      socket.Connect();
    } catch (const std::exception& e) {
      worker_error = e.what();
    }
    worker_done = true;
  });
  ASSERT_TRUE(PumpMessagesUntil([&] { return worker_done && received == "hello"; }));
  worker.join();
  EXPECT_EQ(worker_error, "");
  ASSERT_GE(event_threads.size(), 3u);
  for (DWORD thread : event_threads) EXPECT_EQ(thread, owner);

  // An error raised on the owner thread reaches the calling thread.
  std::thread second([&] {
    try {
      socket.Listen();
    } catch (const ESocketException& e) {
      worker_error = e.what();
    }
    worker_done = false;
  });
  ASSERT_TRUE(PumpMessagesUntil([&] { return !worker_done; }));
  second.join();
  EXPECT_EQ(worker_error, "Listen: Socket already in use");
  socket.Abort();
}

TEST(AsyncSocketTest, LastSocketUnloadsWinsockAndTheNextLoadsItAgain) {
  ASSERT_EQ(TAsyncSocket::SocketCount(), 0);
  {
    TAsyncSocket first;
    TAsyncSocket second;
    EXPECT_EQ(TAsyncSocket::SocketCount(), 2);
    first.DnsLookup("127.0.0.1");
    EXPECT_TRUE(wsock::IsLoaded());
    EXPECT_THROW(TAsyncSocket::SetReqVerLow(2), ESocketException);
  }
  EXPECT_EQ(TAsyncSocket::SocketCount(), 0);
  EXPECT_FALSE(wsock::IsLoaded());
  TAsyncSocket again;
  again.DnsLookup("127.0.0.1");
  EXPECT_TRUE(wsock::IsLoaded());
  EXPECT_EQ(again.DnsResult(), "127.0.0.1");
}

}  // namespace
}  // namespace n2
