// TCustomFtpClient: an event-driven FTP client on two TAsyncSocket objects,
// the control connection (commands and replies) and the data connection (the
// file). TFtpClient adds the synchronous forms the sync jobs use.
//
//   TFtpClient ftp;                       // created on the thread that runs the message loop
//   ftp.SetHostName("127.0.0.1"); ftp.SetPort("21");
//   ftp.SetUserName("me"); ftp.SetPassWord("secret"); ftp.SetHostDirName("/shared");
//   ftp.SetHostFileName("N2AddBook.zip"); ftp.SetLocalFileName("C:\\data\\N2AddBook.zip");
//   bool ok = ftp.Open() && ftp.User() && ftp.Pass() && ftp.Cwd() && ftp.TypeSet() && ftp.Put();
//   ftp.Abort();                          // closes both connections, sends nothing
//
// Each asynchronous form (OpenAsync, UserAsync, ...) sends its first command
// and returns; the replies and socket events drive the rest on the owner
// thread, one handler per step, and the request ends in TriggerRequestDone.
// Refused operations raise FtpException (or go to OnError when it is set).
//
// Threads: the client and its sockets belong to the thread that creates it,
// which must keep dispatching window messages while a request runs. The
// synchronous forms may be called from any thread: the start of the request
// and an abort are carried over to the owner thread (RunOnOwnerThread), and
// the caller waits on request_ended_, an event that the owner thread sets in
// the one place where a request truly ends (no step of it left). Called on
// the owner thread itself, the wait dispatches that thread's messages.
// Properties are plain values: set them while no request runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/growing_file.h"
#include "base/scoped_handle.h"
#include "net/async_socket.h"
#include "net/ftp_reply_reader.h"

namespace n2 {

N2_DECLARE_EXCEPTION(FtpException, Exception);

enum class TFtpState {
  NotConnected,
  Ready,
  InternalReady,
  Resolving,
  Greeted,
  Aborting,
  InternalAborting,
  WaitingBanner,
  WaitingResponse,
  PasvReady,
};
const char* FtpStateName(TFtpState state) noexcept;

enum TFtpRequest {
  ftpNone, ftpOpenAsync, ftpUserAsync, ftpPassAsync, ftpCwdAsync, ftpConnectAsync, ftpReceiveAsync,
  ftpDirAsync, ftpLsAsync, ftpPortAsync, ftpGetAsync, ftpDirectoryAsync, ftpListAsync, ftpSystemAsync,
  ftpSystAsync, ftpQuitAsync, ftpAbortXferAsync, ftpSizeAsync, ftpPutAsync, ftpAppendAsync,
  ftpFileSizeAsync, ftpRqAbort, ftpMkdAsync, ftpRmdAsync, ftpRenameAsync, ftpDeleAsync, ftpRenAsync,
  ftpRenToAsync, ftpRenFromAsync, ftpDeleteAsync, ftpMkdirAsync, ftpRmdirAsync, ftpPwdAsync,
  ftpQuoteAsync, ftpCDupAsync, ftpDoQuoteAsync, ftpTransmitAsync, ftpTypeSetAsync, ftpRestAsync,
  ftpRestGetAsync, ftpRestartGetAsync, ftpRestPutAsync, ftpRestartPutAsync, ftpMlsdAsync, ftpFeatAsync,
  ftpMlstAsync, ftpMdtmAsync, ftpMdtmyyAsync, ftpAuthAsync, ftpMfmtAsync, ftpMd5Async, ftpAccountAsync,
  ftpProtAsync, ftpPbszAsync, ftpModeZAsync, ftpOptsAsync, ftpCccAsync, ftpXCrcAsync, ftpSizeMdtmAsync,
};

// Client options, a set of bits.
enum TFtpOption : unsigned {
  ftpAcceptLF = 1u << 0,          // a reply line may end with LF alone
  ftpNoAutoResumeAt = 1u << 1,    // restarts only (not used)
  ftpWaitUsingSleep = 1u << 2,    // the synchronous wait on the owner thread yields instead of waiting for messages
  ftpBandwidthControl = 1u << 3,  // throttling (not supported)
};
using TFtpOptions = unsigned;

// How the local file is shared while a transfer has it open.
enum TFtpShareMode {
  ftpShareCompat = 0,
  ftpShareExclusive = 0x10,
  ftpShareDenyWrite = 0x20,
  ftpShareDenyRead = 0x30,
  ftpShareDenyNone = 0x40,
};

enum TFtpConnectionType { ftpDirect, ftpProxy, ftpSocks4, ftpSocks4A, ftpSocks5 };

class FtpLocalFile;

class TCustomFtpClient : public TAsyncWndComponent {
 public:
  using TFtpDisplay = std::function<void(TCustomFtpClient& sender, const std::string& text)>;
  using TFtpCommand = std::function<void(TCustomFtpClient& sender, std::string& command)>;
  using TFtpRequestDone = std::function<void(TCustomFtpClient& sender, TFtpRequest request, int error)>;
  using TFtpProgress = std::function<void(TCustomFtpClient& sender, int64_t count, bool& abort)>;
  using TFtpSessionEvent = std::function<void(TCustomFtpClient& sender, int error)>;
  using TFtpNotify = std::function<void(TCustomFtpClient& sender)>;
  using TFtpError = std::function<void(TCustomFtpClient& sender, const std::string& text)>;
  using TFtpReadyToTransmit = std::function<void(TCustomFtpClient& sender, bool& cancel)>;
  using TFtpBgException = std::function<void(TCustomFtpClient& sender, const std::exception& error, bool& can_close)>;

  TCustomFtpClient();
  ~TCustomFtpClient() override;

  // ---- Asynchronous operations (owner thread) ----
  void OpenAsync();
  void UserAsync();
  void PassAsync();
  void CwdAsync();
  void TypeSetAsync();
  void DeleAsync();
  void GetAsync();   // Port, then RETR into LocalFileName
  void PutAsync();   // Port, then STOR from LocalFileName
  void NlstAsync();  // Port, then NLST (names in the current folder) into ListingText
  void ListAsync();  // Port, then LIST (the server's long listing) into ListingText
  void SizeAsync();  // SIZE HostFileName into FileSizeResult
  void MdtmAsync();  // MDTM HostFileName into ModifiedTimeResult
  // SIZE, then MDTM, of HostFileName, in one request: a refused SIZE ends it.
  void SizeMdtmAsync();
  void RenameAsync();  // RNFR HostFileName, then RNTO RenameToName
  void FeatAsync();  // FEAT into Features
  void OptsAsync();  // OPTS OptsText
  void QuitAsync();
  // Closes both connections at once and sends nothing.
  void AbortAsync();

  // ---- Properties ----
  const std::string& HostName() const noexcept { return host_name_; }
  void SetHostName(const std::string& v) { host_name_ = v; }
  const std::string& Port() const noexcept { return port_; }
  void SetPort(const std::string& v) { port_ = v; }
  const std::string& UserName() const noexcept { return user_name_; }
  void SetUserName(const std::string& v) { user_name_ = v; }
  const std::string& PassWord() const noexcept { return pass_word_; }
  void SetPassWord(const std::string& v) { pass_word_ = v; }
  const std::string& Account() const noexcept { return account_; }
  void SetAccount(const std::string& v) { account_ = v; }
  const std::string& HostDirName() const noexcept { return host_dir_name_; }
  void SetHostDirName(const std::string& v) { host_dir_name_ = v; }
  const std::string& HostFileName() const noexcept { return host_file_name_; }
  void SetHostFileName(const std::string& v) { host_file_name_ = v; }
  const std::string& RenameToName() const noexcept { return rename_to_name_; }
  void SetRenameToName(const std::string& v) { rename_to_name_ = v; }
  const std::string& OptsText() const noexcept { return opts_text_; }
  void SetOptsText(const std::string& v) { opts_text_ = v; }
  const std::string& LocalFileName() const noexcept { return local_file_name_; }
  void SetLocalFileName(const std::string& v) { local_file_name_ = v; }
  // When set, Put sends LocalFileName while another thread still writes it:
  // what is final of it as that comes, up to its whole size. Put opens it
  // only while it grows (sharing it with its writer, which may rename it
  // once whole); a file that is whole by then, or that fails, fails the Put.
  const std::shared_ptr<GrowingFile>& GrowingLocalFile() const noexcept { return growing_; }
  void SetGrowingLocalFile(std::shared_ptr<GrowingFile> v);
  bool Binary() const noexcept { return type_letter_ == 'I'; }
  void SetBinary(bool v) noexcept { type_letter_ = v ? 'I' : 'A'; }
  TFtpShareMode ShareMode() const noexcept { return share_mode_; }
  void SetShareMode(TFtpShareMode v) noexcept { share_mode_ = v; }
  TFtpOptions Options() const noexcept { return options_; }
  void SetOptions(TFtpOptions v) noexcept { options_ = v; }
  TFtpConnectionType ConnectionType() const noexcept { return connection_type_; }
  void SetConnectionType(TFtpConnectionType v) noexcept { connection_type_ = v; }
  bool Passive() const noexcept { return passive_; }
  // Any connection type other than direct always uses passive data connections.
  void SetPassive(bool v) noexcept { passive_ = connection_type_ == ftpDirect ? v : true; }
  bool MultiThreaded() const noexcept { return multi_threaded_; }
  void SetMultiThreaded(bool v) noexcept { multi_threaded_ = v; }
  unsigned DataPortRangeStart() const noexcept { return data_port_range_start_; }
  void SetDataPortRangeStart(unsigned v);
  unsigned DataPortRangeEnd() const noexcept { return data_port_range_end_; }
  void SetDataPortRangeEnd(unsigned v);
  const std::string& LocalAddr() const noexcept { return local_addr_; }
  void SetLocalAddr(const std::string& v) { local_addr_ = v; }
  bool DisplayFileFlag() const noexcept { return display_file_flag_; }
  void SetDisplayFileFlag(bool v) noexcept { display_file_flag_ = v; }
  int BandwidthLimit() const noexcept { return bandwidth_limit_; }
  void SetBandwidthLimit(int v) noexcept { bandwidth_limit_ = v; }
  int BandwidthSampling() const noexcept { return bandwidth_sampling_; }
  void SetBandwidthSampling(int v) noexcept { bandwidth_sampling_ = v; }
  std::string ProxyServer, SocksServer, SocksPort, SocksUserCode, SocksPassword;  // stored only

  // ---- Results (read after a request has ended) ----
  int StatusCode() const noexcept { return status_code_; }
  const std::string& LastResponse() const noexcept { return last_response_; }
  const std::string& ErrorMessage() const noexcept { return error_message_; }
  // Whether the last Get, Nlst or List ended because the server refused to
  // send (its reply to RETR, NLST or LIST: "550 No such file", "450 No files
  // found"), rather than on the way (connection, local file, time limit).
  bool TransferRefused() const noexcept { return transfer_refused_; }
  // The bytes of the last Nlst or List as the server sent them (lines ended
  // by CR LF or LF); empty after a failed one, which keeps nothing of a part.
  const std::string& ListingText() const noexcept { return listing_; }
  // Set by a successful Size (-1 otherwise).
  int64_t FileSizeResult() const noexcept { return file_size_result_; }
  // Set by a successful Mdtm: "YYYYMMDDHHMMSS", perhaps with a fraction of a second.
  const std::string& ModifiedTimeResult() const noexcept { return modified_time_result_; }
  // Set by a successful Feat: one entry a feature line, its keyword in capitals ("SIZE", "REST STREAM").
  const std::vector<std::string>& Features() const noexcept { return features_; }
  TFtpState State() const noexcept { return state_.load(); }
  bool Connected() const noexcept { return connected_.load(); }
  // From any thread, without a call carried over to the owner thread: a
  // session is open and no request is under way, as the owner thread last
  // left it.
  bool ReadyForRequest() const noexcept { return connected_.load() && state_.load() == TFtpState::Ready; }
  TFtpRequest RequestType() const noexcept { return request_type_; }
  int RequestResult() const noexcept { return request_result_.load(); }
  int64_t ByteCount() const noexcept { return byte_count_; }
  // The lines of the last reply, each ended by CR LF.
  const std::string& ReplyLines() const noexcept { return reply_lines_; }
  TAsyncSocket& ControlSocket() noexcept { return control_; }
  TAsyncSocket& DataSocket() noexcept { return data_; }

  // ---- Events (owner thread; none needed) ----
  TFtpDisplay OnDisplay;        // "> " commands, "< " replies, "! " remarks
  TFtpDisplay OnDisplayFile;    // received data when DisplayFileFlag is set
  TFtpCommand OnCommand;        // may change a command before it is sent
  TFtpError OnError;            // when set, refusals come here instead of raising FtpException
  TFtpDisplay OnResponse;       // every reply line
  TFtpProgress OnProgress;      // every data block; setting abort aborts the client
  TFtpSessionEvent OnSessionConnected;
  TFtpSessionEvent OnSessionClosed;
  TFtpRequestDone OnRequestDone;  // from a posted message, after the request ended
  TFtpNotify OnStateChange;
  TFtpReadyToTransmit OnReadyToTransmit;
  TFtpBgException OnBgException;

 protected:
  void HandleMessage(MsgSlot slot, WPARAM wparam, LPARAM lparam) override;
  void HandleBackgroundException(const std::exception& error) override;
  // Called on the owner thread for every block moved on the data connection.
  virtual void DataBlockMoved() {}

  // Set on the owner thread when a request has ended with no step left.
  Event request_ended_ = Event::ManualReset(true);
  std::atomic<int> request_result_{0};
  int status_code_ = 0;
  std::string last_response_;
  std::string error_message_;
  bool transfer_refused_ = false;

 private:
  // Steps of a compound request. HighLevelContinue takes them in the order
  // Open, Port, Get, Put, Dir (LIST), Ls (NLST), Size, Mdtm, RenFrom, RenTo, Quit.
  enum Step : unsigned {
    kStepOpen = 1, kStepPort = 2, kStepGet = 4, kStepPut = 8, kStepQuit = 16,
    kStepDir = 32, kStepLs = 64, kStepRenFrom = 128, kStepRenTo = 256, kStepSize = 512, kStepMdtm = 1024,
  };
  // Steps that receive on the data connection.
  static constexpr unsigned kReceivingSteps = kStepGet | kStepDir | kStepLs;
  using ReplyHandler = void (TCustomFtpClient::*)(int code);

  void ChangeState(TFtpState state);
  bool IsReadyForCommand() const noexcept;
  void Refuse(const std::string& text);
  bool ArgumentUsable(const std::string& value, const char* name);
  void Display(const std::string& text);
  void SetFailure(int code, const std::string& text);
  void TriggerRequestDone(int error);
  void EndRequest(int error);
  void HighLevelAsync(TFtpRequest request, unsigned steps);
  void HighLevelContinue();
  void RunStep(Step step);
  void ExecAsync(TFtpRequest request, const std::string& command, std::vector<int> ok_responses,
                 std::function<void()> done = {});
  void SendCommand(std::string command);

  // Control connection.
  void ControlDnsLookupDone(int error);
  void ControlSessionConnected(int error);
  void ControlDataAvailable(int error);
  void ControlSessionClosed(int error);
  void HandleReplyLine(const std::string& line);
  void ReplyJudge(int code);
  void SizeReply();
  void MdtmReply();
  void FeatReply();

  // Data connection.
  void PortStep();
  void GetStep();
  void ListStep(const char* command);
  void BeginReceiving(bool listing);
  void SendReceivingCommand(const std::string& command);
  void PutStep();
  bool ConnectPassiveData(int fail_code, TAsyncSocket::TSocketEvent on_connected);
  void DataProgress();
  void DownloadAccept(int error);
  void DownloadConnected(int error);
  void DownloadData(int error);
  bool ReceiveBlock();
  void DownloadClosed(int error);
  void GetFirstReply(int code);
  void GetSecondReply(int code);
  void UploadAccept(int error);
  void UploadConnected(int error);
  void UploadClosed(int error);
  void PutFirstReply(int code);
  void PutSecondReply(int code);
  void StartSending();
  void SendNextBlock(int error);
  void CheckEndOfFile();
  void FailLocalRead(const std::string& text);
  void CheckTransferDone();
  void FailTransfer(int code);
  void CloseLocalFile();
  void CloseData();
  // Keeps a block of received data: in the listing, the local file or OnDisplayFile.
  void KeepReceived(const char* data, size_t size);
  // The failure text of received data that could not be kept (a local file
  // that could not be written, a listing beyond its bound).
  std::string WriteFailureText(const std::exception& error) const;
  // Wraps a socket event handler so that an escaping exception ends up in HandleBackgroundException.
  TAsyncSocket::TSocketEvent Guarded(void (TCustomFtpClient::*handler)(int));

  TAsyncSocket control_;
  TAsyncSocket data_;
  MsgSlot msg_request_done_, msg_start_send_, msg_check_eof_, msg_grew_;

  std::string host_name_, port_ = "ftp", user_name_, pass_word_, account_, host_dir_name_, host_file_name_,
      rename_to_name_, opts_text_, local_file_name_, local_addr_ = "0.0.0.0";
  char type_letter_ = 'I';
  TFtpShareMode share_mode_ = ftpShareExclusive;
  TFtpOptions options_ = ftpAcceptLF;
  TFtpConnectionType connection_type_ = ftpDirect;
  bool passive_ = false;
  bool multi_threaded_ = false;
  unsigned data_port_range_start_ = 0, data_port_range_end_ = 0, last_data_port_ = 0;
  bool display_file_flag_ = false;
  int bandwidth_limit_ = 10000, bandwidth_sampling_ = 1000;

  std::atomic<TFtpState> state_{TFtpState::Ready};
  std::atomic<bool> connected_{false};
  TFtpRequest request_type_ = ftpNone;
  std::vector<int> ok_responses_;
  ReplyHandler fnext_ = nullptr;
  std::function<void()> done_async_;
  unsigned steps_ = 0;
  unsigned previous_step_ = 0;
  bool high_level_flag_ = false;
  bool high_level_starting_ = false;
  int high_level_result_ = 0;
  std::string saved_response_;
  int saved_code_ = -1;
  std::string pasv_response_;
  int64_t byte_count_ = 0;
  int64_t resume_at_ = 0;
  bool request_done_flag_ = true;
  FtpReplyReader reader_;
  std::string receive_block_;  // kept between reads of a download
  std::string send_block_;     // kept between blocks of an upload
  SendBlockSize upload_block_{0, 0};
  std::string reply_lines_;
  std::unique_ptr<FtpLocalFile> local_file_;
  std::shared_ptr<GrowingFile> growing_;
  bool waiting_growth_ = false;  // every final byte of growing_ was sent: the next wait for more
  bool final_reply_seen_ = false, data_closed_ = false, upload_open_ = false, preliminary_seen_ = false,
       eof_reached_ = false, write_failed_ = false;
  std::string write_error_;  // why the local file could not be written
  bool receiving_listing_ = false;  // the running download goes into listing_, not a file
  std::string listing_;
  int64_t file_size_result_ = -1;
  std::string modified_time_result_;
  std::vector<std::string> features_;
  int data_close_error_ = 0;
  DWORD eof_deadline_ = 0;
  DWORD transfer_start_ = 0;
};

class TFtpClient : public TCustomFtpClient {
 public:
  TFtpClient() = default;

  // Synchronous forms: start the request and wait until it has ended or the
  // time limit passed. True for success; never raise.
  bool Open();
  bool User();
  bool Pass();
  bool Cwd();
  bool TypeSet();
  bool Get();
  bool Put();
  bool Dele();
  bool Nlst();
  bool List();
  bool Size();
  bool Mdtm();
  bool SizeMdtm();
  bool Rename();
  bool Feat();
  bool Opts();
  bool Quit();
  // Closes everything at once; true when the previous request had succeeded.
  bool Abort();
  // A request as the forms above make it, whose settings are made by prepare
  // on the owner thread right before it starts there: one call carried over
  // to that thread instead of two. What prepare raises is raised, and the
  // request is not started.
  bool Run(void (TCustomFtpClient::*start)(), const std::function<void()>& prepare);

  // Seconds a request may stay silent: a command exchange as a whole, a
  // transfer between two blocks. 0 or less waits without limit.
  int Timeout() const noexcept { return timeout_; }
  void SetTimeout(int seconds) noexcept { timeout_ = seconds; }

 protected:
  void DataBlockMoved() override;

 private:
  bool Synchronize(const std::function<void()>& start, const std::function<void()>& prepare = {});
  bool WaitUntilReady();
  void MoveDeadline() noexcept;

  int timeout_ = 15;
  std::atomic<DWORD> deadline_{0};
};

}  // namespace n2
