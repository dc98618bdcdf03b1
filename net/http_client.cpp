#include "net/http_client.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "base/system_code_page.h"
#include "net/base64.h"
#include "net/http_request.h"
#include "net/winsock_api.h"

namespace n2 {

namespace {

// A body block is read and passed to the socket in one go, and each costs a
// trip through the owner thread's message queue: blocks of 8192 bytes held
// PUT under Wine to a fifth of what blocks of 32768 bytes reach, and blocks
// of 131072 bytes (kept by the client between blocks) take PUT to nginx from
// 115-190 MB/s to 320-350 MB/s.
constexpr std::size_t kBodyBlockSize = 131072;
constexpr std::size_t kSendAhead = 262144;
// So does every read of the response: reads of 32768 bytes held GET from nginx
// to 90 MB/s, reads of 262144 bytes reach 200 MB/s and a 1 MB GET takes 8 ms
// instead of 13.
constexpr std::size_t kReceiveBlockSize = 262144;
constexpr std::size_t kMaxHeaderBytes = 1 << 20;

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  for (std::size_t i = 0; prefix[i]; ++i)
    if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(prefix[i])) return false;
  return true;
}

// RFC 7617: a Basic challenge with charset="UTF-8" (any case, quoted or not)
// asks for the credentials in UTF-8.
bool WantsUtf8(const std::string& challenge) {
  const std::optional<std::string> charset = HttpChallengeParam(challenge, "charset");
  return charset && HttpTrimLower(*charset) == "utf-8";
}

bool SamePlace(const HttpUrl& a, const HttpUrl& b) {
  return a.host == b.host && a.port == b.port && a.protocol == b.protocol;
}

std::string LocalHostName() {
  char name[256] = {};
  try {
    if (wsock::gethostname(name, sizeof name - 1) != 0) return "";
  } catch (const std::exception&) {
    return "";
  }
  return name;
}

const char* MethodName(THttpRequest kind) {
  switch (kind) {
    case httpPOST: return "POST";
    case httpPUT: return "PUT";
    case httpHEAD: return "HEAD";
    default: return "GET";
  }
}

}  // namespace

const char* HttpStateName(THttpState state) noexcept {
  static const char* const names[] = {"httpReady",         "httpNotConnected",        "httpConnected",
                                      "httpDnsLookup",     "httpDnsLookupDone",       "httpWaitingHeader",
                                      "httpWaitingBody",   "httpBodyReceived",        "httpWaitingProxyConnect",
                                      "httpClosing",       "httpAborting"};
  return names[static_cast<int>(state)];
}

void ConfigureNetHttp(THttpClient& client) {
  client.SetLocalAddr("0.0.0.0");
  client.SetProxy("");
  client.SetProxyPort("80");
  client.SetAgent("Mozilla/4.0 (compatible; Velmora)");
  client.SetAccept("image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
  client.SetNoCache(false);
  client.SetContentTypePost("application/x-www-form-urlencoded");
  client.SetMultiThreaded(false);
  client.SetRequestVer("1.0");
  client.SetFollowRelocation(true);
  client.SetLocationChangeMaxCount(5);
  client.SetBandwidthLimit(10000);
  client.SetBandwidthSampling(1000);
  client.SetOptions(0);
  client.SetSocksAuthentication(socksNoAuthentication);
  // The jobs stream bodies from and into files: a response is bounded by the disk.
  client.SetResponseBodyLimit(0);
}

// ---------------------------------------------------------------------------
// Construction and plumbing.

THttpClient::THttpClient(std::string name)
    : msg_send_request_(AllocateMsg()),
      msg_set_ready_(AllocateMsg()),
      msg_request_done_(AllocateMsg()),
      msg_close_(AllocateMsg()),
      name_(std::move(name)) {
  socket_.OnDnsLookupDone = Guarded(&THttpClient::SocketDnsLookupDone);
  socket_.OnSessionConnected = Guarded(&THttpClient::SocketSessionConnected);
  socket_.OnDataAvailable = Guarded(&THttpClient::SocketDataAvailable);
  socket_.OnDataSent = Guarded(&THttpClient::SocketDataSent);
  socket_.OnSessionClosed = Guarded(&THttpClient::SocketSessionClosed);
}

THttpClient::~THttpClient() {
  socket_.OnSessionClosed = nullptr;
  socket_.OnDnsLookupDone = nullptr;
}

TAsyncSocket::TSocketEvent THttpClient::Guarded(void (THttpClient::*handler)(int)) {
  return [this, handler](TAsyncSocket&, std::uint16_t error) {
    try {
      (this->*handler)(error);
    } catch (const std::exception& e) {
      HandleBackgroundException(e);
    }
  };
}

// An error inside a step (a stream that refuses bytes, memory running out):
// the request ends with it as its reason.
void THttpClient::HandleBackgroundException(const std::exception& error) {
  if (state_.load() == httpReady) return;
  try {
    FailRequest(500, std::string(ErrorKindName(error)) + ": " + error.what());
  } catch (...) {
  }
}

void THttpClient::ChangeState(THttpState state) {
  THttpState old = state_.exchange(state);
  if (old == state) return;
#ifndef NDEBUG
  ::OutputDebugStringA((std::string("http: ") + HttpStateName(old) + " -> " + HttpStateName(state) + "\n").c_str());
#endif
  if (OnStateChange) OnStateChange(*this);
}

void THttpClient::SetRequestVer(const std::string& v) {
  if (v != "1.0" && v != "1.1") throw EHttpException("Insupported HTTP version", 5);
  request_ver_ = v;
}

void THttpClient::HandleMessage(MsgSlot slot, WPARAM wparam, LPARAM lparam) {
  if (slot == msg_request_done_) {
    if (OnRequestDone)
      OnRequestDone(*this, static_cast<THttpRequest>(wparam), static_cast<std::uint16_t>(lparam));
    return;
  }
  if (slot == msg_close_) {
    if (static_cast<unsigned>(lparam) == connection_serial_ && socket_.State() != wsClosed) {
      try {
        socket_.Close();
      } catch (const std::exception&) {
        socket_.Abort();
      }
    }
    return;
  }
  if (static_cast<unsigned>(lparam) != request_serial_) return;  // for a request that has gone
  try {
    if (slot == msg_set_ready_) {
      SetReady();
    } else if (slot == msg_send_request_) {
      if (socket_.State() == wsConnected)
        SendRequest();
      else
        Connect();
    }
  } catch (const std::exception& e) {
    HandleBackgroundException(e);
  }
}

// ---------------------------------------------------------------------------
// Starting a request.

void THttpClient::StartRequest(THttpRequest kind) {
  if (state_.load() != httpReady) throw EHttpException("HTTP component " + name_ + " is busy", 1);
  if ((kind == httpPOST || kind == httpPUT) && !request_body_)
    throw EHttpException("HTTP component has nothing to post or put", 2);
  ++request_serial_;
  request_ended_.Reset();
  request_kind_ = kind;
  finish_posted_ = false;
  reconnect_on_close_ = false;
  done_error_ = 0;
  sent_count_ = 0;
  connection_value_ = connection_;
  request_if_none_match_ = std::exchange(if_none_match_, std::string());
  request_if_modified_since_ = std::exchange(if_modified_since_, std::string());
  target_ = ParseHttpUrl(url_);
  current_user_ = target_.user.empty() ? username_ : target_.user;
  current_password_ = target_.password.empty() ? password_ : target_.password;
  // The address is typed in the system code page; servers read UTF-8.
  target_.path = EncodeHttpRequestTarget(SystemToUtf8(target_.path));
  body_start_size_ = response_body_ ? response_body_->Size() : 0;
  ResetResponse();
  basic_state_ = 0;
  basic_utf8_ = false;
  ntlm_state_ = 0;
  try {
    if (socket_.State() == wsConnected && SamePlace(connection_key_, target_))
      SendRequest();
    else
      Connect();
  } catch (const std::exception& e) {
    // The request has begun: it ends the ordinary way, with the error as its reason.
    HandleBackgroundException(e);
  }
}

// Forgets the last response (before a request, a retry, a relocation).
void THttpClient::ResetResponse() {
  received_headers_.clear();
  challenges_.clear();
  status_code_ = 0;
  reason_phrase_.clear();
  response_version_.clear();
  content_length_ = -1;
  content_type_.clear();
  transfer_encoding_.clear();
  content_range_.clear();
  accept_ranges_.clear();
  content_encoding_.clear();
  etag_.clear();
  last_modified_.clear();
  location_ = url_;
  received_count_ = 0;
  close_after_response_ = request_ver_ == "1.0";
  relocation_pending_ = false;
  headerless_response_ = false;
  reader_.Clear();
}

// Before a request is sent again: the body of the refused response goes, and
// the whole request body is sent again.
void THttpClient::CutBodiesBack() {
  if (response_body_) response_body_->Truncate(body_start_size_);
  request_body_position_ -= std::min<std::uint64_t>(request_body_position_, static_cast<std::uint64_t>(sent_count_));
  sent_count_ = 0;
}

// A new connection to target_: lookup, then connect (SocketDnsLookupDone).
void THttpClient::Connect() {
  ChangeState(httpNotConnected);  // the close of an open connection is no event of this request
  if (socket_.State() != wsClosed) socket_.Abort();
  ChangeState(httpDnsLookup);
  try {
    socket_.DnsLookup(target_.host);
  } catch (const std::exception& e) {
    if (state_.load() != httpDnsLookup) return;  // the lookup ended after all
    status_code_ = 404;
    reason_phrase_ = e.what();
    Finish();
  }
}

void THttpClient::SocketDnsLookupDone(int error) {
  if (state_.load() != httpDnsLookup) return;
  MoveDeadline();
  if (error) {
    done_error_ = static_cast<std::uint16_t>(error);
    status_code_ = 404;
    reason_phrase_ = "can't resolve hostname to IP address";
    Finish();
    return;
  }
  ChangeState(httpDnsLookupDone);
  socket_.SetAddr(socket_.DnsResult());
  socket_.SetLocalAddr(local_addr_);
  socket_.SetPort(target_.port);
  socket_.SetProto("tcp");
  connection_key_ = target_;
  if (target_.protocol != "http") {
    status_code_ = 501;
    reason_phrase_ = "Protocol \"" + target_.protocol + "\" not implemented";
    socket_.Close();
    Finish();
    return;
  }
  try {
    ++connection_serial_;
    socket_.Connect();
  } catch (const std::exception& e) {
    const int code = socket_.LastError();
    status_code_ = 404;
    reason_phrase_ = "can't connect: " + (code ? SocketErrorDesc(code) + " (Error #" + std::to_string(code) + ")"
                                              : std::string(e.what()));
    socket_.Close();
    Finish();
  }
}

void THttpClient::SocketSessionConnected(int error) {
  if (state_.load() != httpDnsLookupDone) return;
  MoveDeadline();
  if (error) {
    // The socket closes itself; the request ends with that close.
    done_error_ = static_cast<std::uint16_t>(error);
    status_code_ = 404;
    reason_phrase_ = SocketErrorDesc(error) + " (Error #" + std::to_string(error) + ")";
    return;
  }
  ChangeState(httpConnected);
  SendRequest();
}

// ---------------------------------------------------------------------------
// Sending.

std::string THttpClient::BuildHeader() const {
  const bool with_body = request_kind_ == httpPUT || request_kind_ == httpPOST;
  HttpRequestHead head;
  head.method = MethodName(request_kind_);
  head.path = target_.path;
  head.version = request_ver_;
  head.from = sender_;
  head.accept = accept_;
  head.referer = reference_;
  head.connection = connection_value_;
  head.accept_language = accept_language_;
  if (with_body) head.content_type = content_type_post_;
  head.user_agent = agent_;
  head.host = target_.host;
  head.port = target_.port;
  head.no_cache = no_cache_;
  if (with_body) {
    const std::uint64_t size = request_body_->Size();
    // While NTLM's first message goes, the body is held back.
    head.content_length = ntlm_state_ == 1 ? 0 : size > request_body_position_ ? size - request_body_position_ : 0;
  }
  if (ntlm_state_ == 1) {
    head.authorization = "NTLM " + Base64Encode(NtlmNegotiateMessage());
  } else if (ntlm_state_ == 3) {
    head.authorization =
        "NTLM " + Base64Encode(NtlmAuthenticateMessage(current_user_, LocalHostName(), current_password_, ntlm_challenge_));
  } else if (basic_state_ == 1) {
    const std::string user = basic_utf8_ ? SystemToUtf8(current_user_) : current_user_;
    const std::string password = basic_utf8_ ? SystemToUtf8(current_password_) : current_password_;
    head.authorization = "Basic " + Base64Encode(user + ":" + password);
  }
  head.if_modified_since = request_if_modified_since_;
  head.if_none_match = request_if_none_match_;
  head.cookie = cookie_;
  return BuildHttpRequestHead(head);
}

void THttpClient::SendRequest() {
  ChangeState(httpConnected);
  reader_.Clear();
  first_line_pending_ = true;
  header_bytes_ = 0;
  body_started_ = false;
  document_complete_ = false;
  chunked_ = HttpChunkedDecoder();
  sending_body_ = (request_kind_ == httpPUT || request_kind_ == httpPOST) && ntlm_state_ != 1;
  const std::string header = BuildHeader();
  ChangeState(httpWaitingHeader);
  try {
    socket_.SendStr(header);
    SendBodyBlock();
  } catch (const ESocketException& e) {
    // The connection went under the request (a server that closed a kept connection).
    FailRequest(404, e.what());
  }
}

// Blocks of the request body, while the socket holds less than kSendAhead
// bytes not yet passed to Winsock; more follow when it has passed them on.
void THttpClient::SendBodyBlock() {
  while (sending_body_ && request_body_ && socket_.State() == wsConnected &&
         socket_.BufferedByteCount() < static_cast<int>(kSendAhead)) {
    LentBlock lent(send_block_, kBodyBlockSize);
    char* block = lent.Data();
    const std::size_t count = request_body_->ReadAt(request_body_position_, block, kBodyBlockSize);
    if (count == 0) {
      sending_body_ = false;
      return;
    }
    request_body_position_ += count;
    sent_count_ += static_cast<std::int64_t>(count);
    socket_.Send(block, static_cast<int>(count));
    if (OnSendData) OnSendData(*this, block, count);
  }
}

void THttpClient::SocketDataSent(int) {
  MoveDeadline();
  if (finish_posted_) return;
  THttpState s = state_.load();
  if (s == httpWaitingHeader || s == httpWaitingBody) SendBodyBlock();
}

// ---------------------------------------------------------------------------
// Receiving.

void THttpClient::SocketDataAvailable(int) {
  LentBlock block(receive_block_, kReceiveBlockSize);
  char* buffer = block.Data();
  const int count = socket_.Receive(buffer, static_cast<int>(kReceiveBlockSize));
  if (count <= 0) return;
  MoveDeadline();
  if (finish_posted_) return;
  const THttpState s = state_.load();
  if (s == httpWaitingHeader) {
    reader_.Append(buffer, static_cast<std::size_t>(count));
    ProcessHeaderBytes();
  } else if (s == httpWaitingBody && !document_complete_) {
    BodyBytes(buffer, static_cast<std::size_t>(count));
  }
  // Anything else (bytes after a complete response, or while idle) is dropped.
}

// Takes header lines from the receive buffer while the header lasts, then
// hands what follows it to the body.
void THttpClient::ProcessHeaderBytes() {
  while (state_.load() == httpWaitingHeader && !finish_posted_ && !document_complete_) {
    if (first_line_pending_ && !reader_.Rest().empty() && reader_.Rest().front() == '<') {
      const std::string_view rest = reader_.Rest();
      if (rest.size() < 9 && rest.find('\n') == std::string_view::npos) return;  // not enough to tell yet
      if (IsHeaderlessHtml(rest.substr(0, std::min<std::size_t>(rest.size(), rest.find('\n'))))) {
        // No header at all: everything is body, up to the close.
        if (content_type_.empty()) content_type_ = "text/html";
        first_line_pending_ = false;
        headerless_response_ = true;
        ChangeState(httpWaitingBody);
        break;
      }
    }
    std::optional<std::string> line = reader_.NextLine();
    if (!line) {
      if (reader_.Overlong()) FailRequest(502, "Response header line too long");
      return;
    }
    header_bytes_ += line->size() + 1;
    if (header_bytes_ > kMaxHeaderBytes) {
      FailRequest(502, "Response header too large");
      return;
    }
    HeaderLine(*line);
  }
  if (state_.load() == httpWaitingBody && !finish_posted_ && !document_complete_ && reader_.RestSize() > 0) {
    const std::string rest(reader_.Rest());
    const std::size_t taken = BodyBytes(rest.data(), rest.size());
    reader_.Consume(taken);
  }
}

void THttpClient::HeaderLine(const std::string& line) {
  if (line.empty()) {
    HeaderEnd();
    return;
  }
  received_headers_.push_back(line);
  if (OnHeaderData) OnHeaderData(*this, line);
  if (first_line_pending_) {
    first_line_pending_ = false;
    if (OnHeaderBegin) OnHeaderBegin(*this);
    std::optional<HttpStatusLine> status = ParseHttpStatusLine(line);
    if (!status) return;
    response_version_ = status->version;
    close_after_response_ = request_ver_ == "1.0" || response_version_ == "1.0";
    status_code_ = status->code;
    reason_phrase_ = status->reason;
    return;
  }
  if (std::optional<HttpHeaderField> field = ParseHttpHeaderField(line)) HeaderField(*field);
}

void THttpClient::HeaderField(const HttpHeaderField& field) {
  const std::string& name = field.name;
  if (name == "location") {
    if (request_kind_ == httpPUT) {
      location_ = field.value;
      // Only 307 and 308 say that the same method with the same body goes to
      // the new address; a PUT answered otherwise ends with that answer.
      if (follow_relocation_ && (status_code_ == 307 || status_code_ == 308)) {
        relocation_pending_ = true;
        location_value_ = field.value;
      }
    } else if (follow_relocation_) {
      relocation_pending_ = true;
      location_value_ = field.value;
    }
  } else if (name == "content-length") {
    content_length_ = ParseHttpContentLength(field.value);
  } else if (name == "transfer-encoding") {
    transfer_encoding_ = HttpTrimLower(field.value);
  } else if (name == "content-range") {
    content_range_ = field.value;
  } else if (name == "accept-ranges") {
    accept_ranges_ = field.value;
  } else if (name == "content-type") {
    content_type_ = HttpTrimLower(field.value);
  } else if (name == "www-authenticate" || name == "proxy-authenticate") {
    challenges_.push_back(field.value);
  } else if (name == "set-cookie") {
    if (OnCookie) OnCookie(*this, field.value);
  } else if (name == "connection" || name == "proxy-connection") {
    const std::string value = HttpTrimLower(field.value);
    if (value == "close") close_after_response_ = true;
    if (value == "keep-alive") close_after_response_ = false;
  } else if (name == "content-encoding") {
    content_encoding_ = field.value;
  } else if (name == "etag") {
    etag_ = field.value;
  } else if (name == "last-modified") {
    last_modified_ = field.value;
  }
}

void THttpClient::HeaderEnd() {
  if (response_version_ == "1.1" && status_code_ == 100) {
    // An interim answer: the real header follows.
    received_headers_.clear();
    first_line_pending_ = true;
    status_code_ = 0;
    return;
  }
  if (OnHeaderEnd) OnHeaderEnd(*this);
  const int s = status_code_;
  const bool chunked = transfer_encoding_ == "chunked";
  const bool no_body_status = s < 200 || s == 204 || s == 301 || s == 302 || s == 304 || s == 401 || s == 407;
  // A 304 has no body whatever its header says: a Content-Length there is
  // the length of the document not sent again.
  if ((content_length_ == -1 && !chunked && no_body_status) || content_length_ == 0 || s == 304 ||
      request_kind_ == httpHEAD) {
    NoBody();
    return;
  }
  ChangeState(httpWaitingBody);
}

// Body bytes; returns how many belonged to this response.
std::size_t THttpClient::BodyBytes(const char* data, std::size_t size) {
  if (!body_started_) {
    body_started_ = true;
    body_start_size_ = response_body_ ? response_body_->Size() : 0;
    if (OnDocBegin) OnDocBegin(*this);
  }
  if (transfer_encoding_ == "chunked") {
    const std::size_t taken = chunked_.Feed(data, size, [this](const char* p, std::size_t n) { AppendBody(p, n); });
    if (finish_posted_) return taken;
    if (chunked_.Failed()) {
      FailRequest(502, "Malformed chunked response body");
    } else if (chunked_.Done()) {
      DocumentComplete();
    }
    return taken;
  }
  std::size_t take = size;
  if (content_length_ >= 0)
    take = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(size), content_length_ - received_count_));
  AppendBody(data, take);
  if (!finish_posted_ && content_length_ >= 0 && received_count_ == content_length_) DocumentComplete();
  return take;
}

void THttpClient::AppendBody(const char* data, std::size_t size) {
  if (finish_posted_ || size == 0) return;
  if (response_body_limit_ > 0 && received_count_ + static_cast<std::int64_t>(size) > response_body_limit_) {
    FailRequest(502, "Response body larger than " + std::to_string(response_body_limit_) + " bytes");
    return;
  }
  if (response_body_) response_body_->WriteAt(response_body_->Size(), data, size);
  received_count_ += static_cast<std::int64_t>(size);
  if (OnDocData) OnDocData(*this, data, size);
}

// The whole body has come.
void THttpClient::DocumentComplete() {
  document_complete_ = true;
  if (OnDocEnd) OnDocEnd(*this);
  if (relocation_pending_) {
    StartRelocation();
  } else if (close_after_response_) {
    CloseConnectionLater();  // the request ends with the close
  } else {
    Finish();
  }
}

// A response that has no body is complete with its header.
void THttpClient::NoBody() {
  document_complete_ = true;
  if (relocation_pending_) {
    StartRelocation();
  } else if (!close_after_response_) {
    Finish();
  } else {
    CloseConnectionLater();
  }
}

void THttpClient::SocketSessionClosed(int error) {
  const THttpState s = state_.load();
  if (s == httpReady || s == httpAborting || s == httpNotConnected || s == httpDnsLookup) return;
  MoveDeadline();
  if (finish_posted_) return;
  if (error && done_error_ == 0) done_error_ = static_cast<std::uint16_t>(error);
  if (reconnect_on_close_) {
    reconnect_on_close_ = false;
    RelocateOverNewConnection();
    return;
  }
  if (document_complete_) {
    Finish();
    return;
  }
  if (s == httpWaitingHeader) {
    reader_.Clear();
    if (relocation_pending_) {
      StartRelocation();  // the header ends here
      return;
    }
    ConnectionClosedEarly();
    return;
  }
  if (s == httpWaitingBody) {
    // Without a length and not chunked, the close is the end of the body.
    if (content_length_ == -1 && transfer_encoding_ != "chunked") {
      if (!body_started_ && OnDocBegin) OnDocBegin(*this);
      document_complete_ = true;
      if (OnDocEnd) OnDocEnd(*this);
      if (relocation_pending_)
        StartRelocation();
      else
        Finish();
      return;
    }
    ConnectionClosedEarly();
    return;
  }
  Finish();  // a failed connection attempt, or a close before anything was sent
}

// The server closed the connection before the response was whole: whatever
// came of it is not what was asked for.
void THttpClient::ConnectionClosedEarly() {
  std::string reason;
  if (status_code_ == 0 && received_headers_.empty())
    reason = "Connection closed by the server without a response";
  else if (state_.load() == httpWaitingHeader)
    reason = "Connection closed by the server within the response header";
  else if (content_length_ >= 0)
    reason = "Connection closed by the server after " + std::to_string(received_count_) + " of " +
             std::to_string(content_length_) + " body bytes";
  else
    reason = "Connection closed by the server within the chunked response body";
  FailRequest(502, reason);
}

// ---------------------------------------------------------------------------
// Relocation.

void THttpClient::StartRelocation() {
  relocation_pending_ = false;
  // A body still on its way (the answer came before all of it was sent) is
  // not sent on; the connection that carried part of it is not used again.
  const bool body_cut = sending_body_ && request_body_ && request_body_position_ < request_body_->Size();
  sending_body_ = false;
  ++location_change_cur_count_;
  if (location_change_cur_count_ > location_change_max_count_) {
    bool allow_more = false;
    if (OnLocationChangeExceeded) OnLocationChangeExceeded(*this, location_change_cur_count_, allow_more);
    if (!allow_more) {
      // The request ends with the last answer (a 3xx, no error for Get).
      document_complete_ = true;
      if (close_after_response_ && socket_.State() != wsClosed)
        CloseConnectionLater();
      else
        Finish();
      return;
    }
  }
  pending_location_ = ResolveHttpLocation(target_, location_value_);
  // The server's Location is ASCII, or UTF-8 where a server sends raw bytes:
  // escaped, never converted from the system code page.
  pending_location_.path = EncodeHttpRequestTarget(pending_location_.path);
  if (socket_.State() == wsConnected && SamePlace(pending_location_, connection_key_) && !close_after_response_ &&
      !body_cut) {
    if (OnLocationChange) OnLocationChange(*this);
    url_ = pending_location_.Text();
    target_ = pending_location_;
    ResetResponse();
    if (request_kind_ == httpPOST) request_kind_ = httpGET;
    CutBodiesBack();
    PostMsg(msg_send_request_, 0, static_cast<LPARAM>(request_serial_));
    return;
  }
  if (socket_.State() == wsClosed) {
    RelocateOverNewConnection();
    return;
  }
  reconnect_on_close_ = true;
  CloseConnectionLater();
}

void THttpClient::RelocateOverNewConnection() {
  url_ = pending_location_.Text();
  target_ = pending_location_;
  ResetResponse();
  if (request_kind_ == httpPOST) request_kind_ = httpGET;
  if (OnLocationChange) OnLocationChange(*this);
  CutBodiesBack();
  Connect();
}

// ---------------------------------------------------------------------------
// Ending a request, authentication.

void THttpClient::CloseConnectionLater() { PostMsg(msg_close_, 0, static_cast<LPARAM>(connection_serial_)); }

// The request is over as far as the network goes; the rest follows from a
// posted message, after the socket event that got here has returned.
void THttpClient::Finish() {
  if (finish_posted_) return;
  finish_posted_ = true;
  PostMsg(msg_set_ready_, 0, static_cast<LPARAM>(request_serial_));
}

void THttpClient::SetReady() {
  if (!finish_posted_) return;
  finish_posted_ = false;
  if (AuthenticateAndRetry()) return;
  EndRequest();
}

// The one place where a request ends for its caller.
void THttpClient::EndRequest() {
  finish_posted_ = false;
  reconnect_on_close_ = false;
  ++request_serial_;
  if (status_code_ == 0 && !headerless_response_) {
    status_code_ = 502;
    reason_phrase_ = "No valid response from the server";
  }
  ChangeState(httpReady);
  PostMsg(msg_request_done_, static_cast<WPARAM>(request_kind_), static_cast<LPARAM>(done_error_));
  request_ended_.Set();
}

// Ends the request with a status of the client's own; the connection is dropped.
void THttpClient::FailRequest(int status, const std::string& reason) {
  status_code_ = status;
  reason_phrase_ = reason;
  reconnect_on_close_ = false;
  relocation_pending_ = false;
  sending_body_ = false;
  Finish();
  socket_.Abort();
}

bool THttpClient::AuthenticateAndRetry() {
  if (status_code_ != 401 || challenges_.empty() || current_user_.empty() || current_password_.empty()) {
    if (status_code_ == 401) {
      basic_state_ = 0;
      ntlm_state_ = 0;
    }
    return false;
  }
  // The last challenge of a scheme, or null.
  auto find = [this](const char* scheme) -> const std::string* {
    for (auto it = challenges_.rbegin(); it != challenges_.rend(); ++it)
      if (StartsWithNoCase(*it, scheme)) return &*it;
    return nullptr;
  };
  if (!(options_ & httpoNoNTLMAuth) && basic_state_ == 0 && find("NTLM")) return NtlmStep();
  if (!(options_ & httpoNoBasicAuth) && ntlm_state_ == 0) {
    if (const std::string* basic = find("Basic")) return BasicStep(*basic);
  }
  return false;
}

bool THttpClient::BasicStep(const std::string& challenge) {
  switch (basic_state_) {
    case 0:
      basic_state_ = 1;
      basic_utf8_ = WantsUtf8(challenge);
      ntlm_state_ = 0;
      Retry();
      return true;
    case 1:  // the credentials were refused
      challenges_.clear();
      basic_state_ = 0;
      return false;
    default:
      throw EHttpException("Unexpected AuthBasicState", 6);
  }
}

bool THttpClient::NtlmStep() {
  switch (ntlm_state_) {
    case 0:
      ntlm_state_ = 1;
      basic_state_ = 0;
      if (request_ver_ == "1.0" || response_version_ == "1.0" || response_version_.empty())
        connection_value_ = "Keep-alive";
      Retry();
      return true;
    case 1: {
      std::string message;
      for (auto it = challenges_.rbegin(); it != challenges_.rend(); ++it) {
        if (StartsWithNoCase(*it, "NTLM")) {
          if (it->size() > 5) message = Base64Decode(it->substr(5, 1000));
          break;
        }
      }
      std::optional<NtlmChallenge> challenge = NtlmParseChallengeMessage(message);
      if (!challenge) {  // no usable second message: the request ends with the 401
        challenges_.clear();
        ntlm_state_ = 0;
        return false;
      }
      ntlm_challenge_ = *challenge;
      ntlm_state_ = 3;
      Retry();
      return true;
    }
    case 3:  // the credentials were refused
      challenges_.clear();
      ntlm_state_ = 0;
      return false;
    default:
      throw EHttpException("Unexpected AuthNTLMState", 6);
  }
}

// Sends the request again, on the open connection if there is one.
void THttpClient::Retry() {
  const bool keep_connection = socket_.State() == wsConnected && !close_after_response_;
  ResetResponse();
  CutBodiesBack();
  if (keep_connection) {
    SendRequest();
  } else {
    Connect();
  }
}

// ---------------------------------------------------------------------------
// Abort.

void THttpClient::AbortAsync() {
  ++request_serial_;
  finish_posted_ = false;
  reconnect_on_close_ = false;
  relocation_pending_ = false;
  sending_body_ = false;
  if (state_.load() != httpReady) {
    const bool looking_up = state_.load() == httpDnsLookup;
    ChangeState(httpAborting);
    try {
      socket_.CancelDnsLookup();
    } catch (const std::exception&) {
    }
    status_code_ = 404;
    reason_phrase_ = "Connection aborted on request";
    done_error_ = 3;
    if (!looking_up) {
      try {
        socket_.Close();
      } catch (const std::exception&) {
        socket_.Abort();
      }
    }
  } else {
    ChangeState(httpAborting);
    if (socket_.State() != wsClosed) socket_.Abort();
    status_code_ = 200;
    reason_phrase_ = "OK";
    done_error_ = 0;
  }
  request_kind_ = httpABORT;
  EndRequest();
}

void THttpClient::AbortWithStatus(int status, const std::string& reason) {
  AbortAsync();
  status_code_ = status;
  reason_phrase_ = reason;
}

void THttpClient::Abort() {
  try {
    RunOnOwnerThread([this] { AbortAsync(); });
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------
// Blocking forms.

void THttpClient::Get() { Synchronize(httpGET); }
void THttpClient::Put() { Synchronize(httpPUT); }
void THttpClient::Post() { Synchronize(httpPOST); }
void THttpClient::Head() { Synchronize(httpHEAD); }
void THttpClient::Request(THttpRequest kind, const std::function<void()>& prepare) { Synchronize(kind, prepare); }

void THttpClient::MoveDeadline() noexcept {
  if (timeout_ > 0) deadline_.store(::GetTickCount() + static_cast<DWORD>(timeout_) * 1000);
}

void THttpClient::Synchronize(THttpRequest kind, const std::function<void()>& prepare) {
  RunOnOwnerThread([&] {
    if (prepare) prepare();
    location_change_cur_count_ = 0;
    MoveDeadline();
    StartRequest(kind);
  });
  WaitForRequestEnd();
  const int status = status_code_;
  if (status >= 400 && status != 401 && status != 407)
    throw EHttpException(reason_phrase_, static_cast<std::uint16_t>(status));
}

void THttpClient::WaitForRequestEnd() {
  const bool owner = IsOwnerThread();
  for (;;) {
    if (request_ended_.IsSet()) return;
    DWORD slice = 1000;
    if (timeout_ > 0) {
      const LONG left = static_cast<LONG>(deadline_.load() - ::GetTickCount());
      if (left <= 0) {
        const std::string reason =
            "Timeout: no answer from the server for " + std::to_string(timeout_) + " seconds";
        try {
          RunOnOwnerThread([&] {
            if (!request_ended_.IsSet()) AbortWithStatus(408, reason);
          });
        } catch (...) {
        }
        return;
      }
      slice = std::min<DWORD>(slice, static_cast<DWORD>(left));
    }
    if (!owner) {
      request_ended_.Wait(slice);
      continue;
    }
    if (multi_threaded_) {
      ::Sleep(0);
    } else {
      HANDLE ended = request_ended_.Get();
      ::MsgWaitForMultipleObjects(1, &ended, FALSE, slice, QS_ALLINPUT);
    }
    MessagePump();
    if (Terminated() && !request_ended_.IsSet()) {
      AbortAsync();  // the application is shutting down
      return;
    }
  }
}

}  // namespace n2
