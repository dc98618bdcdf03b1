// THttpClient: an event-driven HTTP/1.0 (and 1.1) client on one TAsyncSocket,
// with the blocking forms Get and Put that the sync jobs use.
//
//   THttpClient http;                     // created on the thread that runs the message loop
//   ConfigureNetHttp(http);               // the plug-in's settings (agent, accept, ...)
//   MemoryStream body;                    // owned by the caller
//   http.SetURL("http://server:8080/dir/N2AddBook.zip");
//   http.SetResponseBody(&body);
//   http.Get();                           // EHttpException for a status of 400 or more (not 401/407)
//   http.SetResponseBody(nullptr);
//   http.Abort();                         // closes the connection, never raises
//
// Every step of a request (name lookup, connect, sending, each received block,
// close) runs when the socket reports the matching event; one function,
// ChangeState, moves the client between the THttpState values, and the request
// ends in EndRequest. Answers to authentication challenges (Basic, NTLM v1) and
// relocations (Location) are followed by the client itself: for a GET any
// Location, for a PUT only that of a 307 or 308, which keep the method and
// the body (the same body is sent again from where it began).
//
// Texts: the address and the credentials are in the system code page, as
// typed. The path goes on the request line percent-encoded in UTF-8
// (EncodeHttpRequestTarget); the credentials go in UTF-8 only to a server
// whose Basic challenge names charset="UTF-8" (RFC 7617), else as typed.
//
// Conditional GET: SetIfNoneMatch / SetIfModifiedSince with the ETag() and
// LastModified() of an earlier response; a 304 then ends the request without
// an error and leaves ResponseBody as it was.
//
// Bodies: RequestBody (PUT, POST) is read from RequestBodyPosition to its end;
// the position moves as bytes are sent. Received body bytes are appended to
// ResponseBody. Both are streams owned by the caller.
//
// Limits: a request during which the server stays silent for Timeout seconds
// is aborted with StatusCode 408; a response header larger than 1 MB (or a
// header line longer than 64 KB), a body larger than ResponseBodyLimit, a
// malformed chunked body and a connection that ends before the response is
// complete end the request with StatusCode 502 and a reason phrase saying so.
//
// Threads: the client and its socket belong to the thread that creates it,
// which must keep dispatching window messages while a request runs. Get, Put
// and Abort may be called from any thread: the start of the request and the
// abort are carried over to the owner thread (RunOnOwnerThread), and the
// caller waits on request_ended_, an event set in the one place where a
// request ends (EndRequest). Called on the owner thread itself, the wait
// dispatches that thread's messages. Properties are plain values: set and
// read them while no request runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/scoped_handle.h"
#include "net/async_socket.h"
#include "net/http_response_parser.h"
#include "net/http_url.h"
#include "net/ntlm.h"
#include "base/byte_stream.h"

namespace n2 {

// The client's errors: a message and a 16-bit code (1 busy, 2 nothing to send,
// 5 unsupported version, 6 unexpected authentication state, or the HTTP status
// of a failed Get or Put).
class EHttpException : public Exception {
 public:
  EHttpException(std::string message, std::uint16_t code) : Exception(std::move(message)), code_(code) {}
  const char* KindName() const noexcept override { return "EHttpException"; }
  std::uint16_t ErrorCode() const noexcept { return code_; }

 private:
  std::uint16_t code_;
};

enum THttpState {
  httpReady,
  httpNotConnected,
  httpConnected,
  httpDnsLookup,
  httpDnsLookupDone,
  httpWaitingHeader,
  httpWaitingBody,
  httpBodyReceived,
  httpWaitingProxyConnect,
  httpClosing,
  httpAborting,
};
const char* HttpStateName(THttpState state) noexcept;

enum THttpRequest { httpABORT, httpGET, httpPOST, httpPUT, httpHEAD, httpCLOSE };

// Client options, a set of bits.
enum THttpClientOption : unsigned {
  httpoNoBasicAuth = 1u << 0,          // never answer a Basic challenge
  httpoNoNTLMAuth = 1u << 1,           // never answer an NTLM challenge
  httpoBandwidthControl = 1u << 2,     // throttling (not supported; stored only)
  httpoEnableContentCoding = 1u << 3,  // content codings (not supported; stored only)
  httpoUseQuality = 1u << 4,           // stored only
};
using THttpClientOptions = unsigned;

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };

class THttpClient : public TAsyncWndComponent {
 public:
  using THttpNotify = std::function<void(THttpClient& sender)>;
  using THttpRequestDone = std::function<void(THttpClient& sender, THttpRequest rq_type, std::uint16_t err_code)>;
  using TLocationChangeExceeded =
      std::function<void(THttpClient& sender, int relocation_count, bool& allow_more_relocations)>;
  using THttpDataEvent = std::function<void(THttpClient& sender, const char* data, std::size_t size)>;
  using THttpTextEvent = std::function<void(THttpClient& sender, const std::string& text)>;

  // name appears in the busy error ("HTTP component NetHttp is busy").
  explicit THttpClient(std::string name = "NetHttp");
  ~THttpClient() override;

  // ---- Blocking requests (any thread) ----
  // Return when the request has ended; raise EHttpException(ReasonPhrase,
  // StatusCode) when it ended with a status of 400 or more other than 401
  // and 407, and the refusals of the start (busy, nothing to put).
  void Get();
  void Put();
  void Post();
  void Head();
  // The same for any kind, with prepare run first on the owner thread, in
  // the same call that starts the request (properties that belong to that
  // thread, a last look whether the request is still wanted). What prepare
  // raises is raised here, and no request is made.
  void Request(THttpRequest kind, const std::function<void()>& prepare);
  // Ends whatever the client does, closes its connection, leaves it idle.
  // Never raises.
  void Abort();

  // ---- Asynchronous starts (owner thread); OnRequestDone follows ----
  void GetAsync() { StartRequest(httpGET); }
  void PutAsync() { StartRequest(httpPUT); }
  void PostAsync() { StartRequest(httpPOST); }
  void HeadAsync() { StartRequest(httpHEAD); }
  void AbortAsync();

  // ---- Properties ----
  const std::string& Name() const noexcept { return name_; }
  const std::string& URL() const noexcept { return url_; }
  void SetURL(const std::string& v) { url_ = v; }
  const std::string& Username() const noexcept { return username_; }
  void SetUsername(const std::string& v) { username_ = v; }
  const std::string& Password() const noexcept { return password_; }
  void SetPassword(const std::string& v) { password_ = v; }
  const std::string& LocalAddr() const noexcept { return local_addr_; }
  void SetLocalAddr(const std::string& v) { local_addr_ = v; }
  // A proxy is not supported: the values are kept, requests go direct.
  const std::string& Proxy() const noexcept { return proxy_; }
  void SetProxy(const std::string& v) { proxy_ = v; }
  const std::string& ProxyPort() const noexcept { return proxy_port_; }
  void SetProxyPort(const std::string& v) { proxy_port_ = v; }
  const std::string& Agent() const noexcept { return agent_; }
  void SetAgent(const std::string& v) { agent_ = v; }
  const std::string& Accept() const noexcept { return accept_; }
  void SetAccept(const std::string& v) { accept_ = v; }
  const std::string& AcceptLanguage() const noexcept { return accept_language_; }
  void SetAcceptLanguage(const std::string& v) { accept_language_ = v; }
  const std::string& Sender() const noexcept { return sender_; }
  void SetSender(const std::string& v) { sender_ = v; }
  const std::string& Reference() const noexcept { return reference_; }
  void SetReference(const std::string& v) { reference_ = v; }
  const std::string& Connection() const noexcept { return connection_; }
  void SetConnection(const std::string& v) { connection_ = v; }
  const std::string& Cookie() const noexcept { return cookie_; }
  void SetCookie(const std::string& v) { cookie_ = v; }
  bool NoCache() const noexcept { return no_cache_; }
  void SetNoCache(bool v) noexcept { no_cache_ = v; }
  const std::string& ContentTypePost() const noexcept { return content_type_post_; }
  void SetContentTypePost(const std::string& v) { content_type_post_ = v; }
  bool MultiThreaded() const noexcept { return multi_threaded_; }
  void SetMultiThreaded(bool v) noexcept { multi_threaded_ = v; }
  const std::string& RequestVer() const noexcept { return request_ver_; }
  // Only "1.0" and "1.1": anything else raises "Insupported HTTP version" (code 5).
  void SetRequestVer(const std::string& v);
  bool FollowRelocation() const noexcept { return follow_relocation_; }
  void SetFollowRelocation(bool v) noexcept { follow_relocation_ = v; }
  int LocationChangeMaxCount() const noexcept { return location_change_max_count_; }
  void SetLocationChangeMaxCount(int v) noexcept { location_change_max_count_ = v; }
  int LocationChangeCurCount() const noexcept { return location_change_cur_count_; }
  void SetLocationChangeCurCount(int v) noexcept { location_change_cur_count_ = v; }
  int BandwidthLimit() const noexcept { return bandwidth_limit_; }
  void SetBandwidthLimit(int v) noexcept { bandwidth_limit_ = v; }
  int BandwidthSampling() const noexcept { return bandwidth_sampling_; }
  void SetBandwidthSampling(int v) noexcept { bandwidth_sampling_ = v; }
  THttpClientOptions Options() const noexcept { return options_; }
  void SetOptions(THttpClientOptions v) noexcept { options_ = v; }
  TSocksAuthentication SocksAuthentication() const noexcept { return socks_authentication_; }
  void SetSocksAuthentication(TSocksAuthentication v) noexcept { socks_authentication_ = v; }
  // Seconds a request may go without any sign of the server (connect, data
  // received, data taken) before it is aborted with 408; 0 or less: no limit.
  int Timeout() const noexcept { return timeout_; }
  void SetTimeout(int seconds) noexcept { timeout_ = seconds; }
  // Largest response body kept, in bytes; 0 or less: no limit.
  std::int64_t ResponseBodyLimit() const noexcept { return response_body_limit_; }
  void SetResponseBodyLimit(std::int64_t v) noexcept { response_body_limit_ = v; }
  // Validators for the next request only, sent when not empty as
  // "If-None-Match:" (an ETag value as received, quotes and all) and
  // "If-Modified-Since:" (an HTTP date such as a LastModified value). The start
  // of a request takes them, so they are empty again from then on: the
  // request, with its retries after a challenge and its relocations, sends
  // them; the one after it does not unless they are set again.
  const std::string& IfNoneMatch() const noexcept { return if_none_match_; }
  void SetIfNoneMatch(std::string v) { if_none_match_ = std::move(v); }
  const std::string& IfModifiedSince() const noexcept { return if_modified_since_; }
  void SetIfModifiedSince(std::string v) { if_modified_since_ = std::move(v); }

  // Caller-owned streams; null for none.
  ByteStream* RequestBody() const noexcept { return request_body_; }
  void SetRequestBody(ByteStream* stream) noexcept { request_body_ = stream; }
  std::uint64_t RequestBodyPosition() const noexcept { return request_body_position_; }
  void SetRequestBodyPosition(std::uint64_t position) noexcept { request_body_position_ = position; }
  ByteStream* ResponseBody() const noexcept { return response_body_; }
  void SetResponseBody(ByteStream* stream) noexcept { response_body_ = stream; }

  // ---- Results (read after the request has ended) ----
  THttpState State() const noexcept { return state_.load(); }
  int StatusCode() const noexcept { return status_code_; }
  const std::string& ReasonPhrase() const noexcept { return reason_phrase_; }
  const std::string& ResponseVersion() const noexcept { return response_version_; }
  std::int64_t ContentLength() const noexcept { return content_length_; }
  const std::string& ContentType() const noexcept { return content_type_; }
  const std::string& TransferEncoding() const noexcept { return transfer_encoding_; }
  const std::string& ContentRange() const noexcept { return content_range_; }
  const std::string& AcceptRanges() const noexcept { return accept_ranges_; }
  const std::string& ContentEncoding() const noexcept { return content_encoding_; }
  // The ETag and Last-Modified values of the last response, empty when it had none.
  const std::string& ETag() const noexcept { return etag_; }
  const std::string& LastModified() const noexcept { return last_modified_; }
  // Every header line of the last response, in order.
  const std::vector<std::string>& ReceivedHeaders() const noexcept { return received_headers_; }
  // The Location of a response to a PUT (else the address requested).
  const std::string& Location() const noexcept { return location_; }
  std::uint16_t DoneError() const noexcept { return done_error_; }
  std::int64_t RcvdCount() const noexcept { return received_count_; }
  std::int64_t SentCount() const noexcept { return sent_count_; }
  THttpRequest RequestType() const noexcept { return request_kind_; }
  TAsyncSocket& CtrlSocket() noexcept { return socket_; }

  // ---- Events (owner thread; the plug-in sets none) ----
  THttpNotify OnStateChange;
  THttpNotify OnHeaderBegin, OnHeaderEnd;
  THttpTextEvent OnHeaderData;  // each header line
  THttpNotify OnDocBegin, OnDocEnd;
  THttpDataEvent OnDocData;     // each block of body bytes
  THttpDataEvent OnSendData;    // each block of request body sent
  THttpTextEvent OnCookie;      // each Set-Cookie value
  THttpNotify OnLocationChange;
  TLocationChangeExceeded OnLocationChangeExceeded;
  THttpRequestDone OnRequestDone;  // from a posted message, after the request ended

 protected:
  void HandleMessage(MsgSlot slot, WPARAM wparam, LPARAM lparam) override;
  void HandleBackgroundException(const std::exception& error) override;

 private:
  void ChangeState(THttpState state);
  void StartRequest(THttpRequest kind);
  void ResetResponse();
  void CutBodiesBack();
  void Connect();
  void SendRequest();
  std::string BuildHeader() const;
  void SendBodyBlock();

  // Socket events.
  void SocketDnsLookupDone(int error);
  void SocketSessionConnected(int error);
  void SocketDataAvailable(int error);
  void SocketDataSent(int error);
  void SocketSessionClosed(int error);

  // The response.
  void ProcessHeaderBytes();
  void HeaderLine(const std::string& line);
  void HeaderField(const HttpHeaderField& field);
  void HeaderEnd();
  size_t BodyBytes(const char* data, size_t size);
  void AppendBody(const char* data, size_t size);
  void DocumentComplete();
  void NoBody();
  void ConnectionClosedEarly();

  // Relocation and authentication.
  void StartRelocation();
  void RelocateOverNewConnection();
  bool AuthenticateAndRetry();
  bool NtlmStep();
  bool BasicStep(const std::string& challenge);
  void Retry();

  // Ending.
  void CloseConnectionLater();
  void Finish();
  void SetReady();
  void EndRequest();
  void FailRequest(int status, const std::string& reason);
  void AbortWithStatus(int status, const std::string& reason);

  // Blocking forms.
  void Synchronize(THttpRequest kind, const std::function<void()>& prepare = {});
  void WaitForRequestEnd();
  void MoveDeadline() noexcept;

  TAsyncSocket::TSocketEvent Guarded(void (THttpClient::*handler)(int));

  TAsyncSocket socket_;
  MsgSlot msg_send_request_, msg_set_ready_, msg_request_done_, msg_close_;
  std::string name_;

  // Properties.
  std::string url_, username_, password_, local_addr_ = "0.0.0.0", proxy_, proxy_port_ = "80", agent_, accept_,
      accept_language_, sender_, reference_, connection_, cookie_, content_type_post_, request_ver_ = "1.0";
  bool no_cache_ = false, multi_threaded_ = false, follow_relocation_ = true;
  int location_change_max_count_ = 5, location_change_cur_count_ = 0;
  int bandwidth_limit_ = 10000, bandwidth_sampling_ = 1000;
  THttpClientOptions options_ = 0;
  TSocksAuthentication socks_authentication_ = socksNoAuthentication;
  std::string if_none_match_, if_modified_since_;
  int timeout_ = 30;
  std::int64_t response_body_limit_ = 128 << 20;
  ByteStream* request_body_ = nullptr;
  std::uint64_t request_body_position_ = 0;
  ByteStream* response_body_ = nullptr;

  // The request.
  std::atomic<THttpState> state_{httpReady};
  THttpRequest request_kind_ = httpGET;
  HttpUrl target_;                 // the address being requested
  HttpUrl connection_key_;         // protocol, host and port of the open connection
  std::string current_user_, current_password_;
  std::string connection_value_;   // the Connection header sent
  unsigned request_serial_ = 0;    // tells posted messages of an earlier request apart
  unsigned connection_serial_ = 0; // tells delayed closes of an earlier connection apart
  bool finish_posted_ = false;     // the request's end is on its way; later socket events are dropped
  bool reconnect_on_close_ = false;
  HttpUrl pending_location_;
  std::string location_value_;
  bool relocation_pending_ = false;
  bool sending_body_ = false;
  std::string request_if_none_match_, request_if_modified_since_;  // the validators this request sends
  int basic_state_ = 0, ntlm_state_ = 0;
  bool basic_utf8_ = false;  // the Basic challenge answered asked for UTF-8 credentials
  NtlmChallenge ntlm_challenge_{};
  std::vector<std::string> challenges_;

  // The response.
  int status_code_ = 0;
  std::string reason_phrase_, response_version_, content_type_, transfer_encoding_, content_range_,
      accept_ranges_, content_encoding_, location_, etag_, last_modified_;
  std::int64_t content_length_ = -1;
  std::vector<std::string> received_headers_;
  std::uint16_t done_error_ = 0;
  bool close_after_response_ = true;
  HttpLineReader reader_;
  std::string receive_block_;  // kept between reads
  std::string send_block_;     // kept between blocks of a request body
  bool first_line_pending_ = true;
  std::size_t header_bytes_ = 0;
  bool body_started_ = false, document_complete_ = false;
  bool headerless_response_ = false;  // a page without any header ("<HTML>...")
  HttpChunkedDecoder chunked_;
  std::int64_t received_count_ = 0, sent_count_ = 0;
  std::uint64_t body_start_size_ = 0;

  // Waiting.
  Event request_ended_ = Event::ManualReset(true);
  std::atomic<DWORD> deadline_{0};
};

// Gives client the values the plug-in's data module sets on NetHttp: any
// local address, no proxy, the Velmora user agent, the accepted types, the
// form content type for PUT, HTTP/1.0, relocations followed (at most 5), and
// every option off.
void ConfigureNetHttp(THttpClient& client);

}  // namespace n2
