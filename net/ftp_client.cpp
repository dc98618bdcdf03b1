#include "net/ftp_client.h"

#include <algorithm>
#include <cstring>

#include "base/win_error.h"
#include "net/ftp_data_address.h"
#include "net/ftp_reply_values.h"

namespace n2 {

// ---------------------------------------------------------------------------
// The local file of a transfer, read or written through a 64 KB buffer.

class FtpLocalFile {
 public:
  static constexpr size_t kBufferSize = 65536;

  static std::unique_ptr<FtpLocalFile> CreateForWrite(const std::string& path, TFtpShareMode mode) {
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, ShareFlags(mode), nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
      throw EFCreateError("Cannot create file \"" + path + "\". " + SystemErrorText(::GetLastError()));
    return std::unique_ptr<FtpLocalFile>(new FtpLocalFile(h, true));
  }
  static std::unique_ptr<FtpLocalFile> OpenForRead(const std::string& path, TFtpShareMode mode) {
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, ShareFlags(mode), nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE)
      throw EFOpenError("Cannot open file \"" + path + "\". " + SystemErrorText(::GetLastError()));
    return std::unique_ptr<FtpLocalFile>(new FtpLocalFile(h, false));
  }
  // A file another program still writes, and may rename once it is whole.
  static std::unique_ptr<FtpLocalFile> OpenGrowing(const std::string& path) {
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE)
      throw EFOpenError("Cannot open file \"" + path + "\". " + SystemErrorText(::GetLastError()));
    return std::unique_ptr<FtpLocalFile>(new FtpLocalFile(h, false));
  }

  ~FtpLocalFile() {
    try {
      Flush();
    } catch (...) {
    }
  }

  int64_t Size() const {
    LARGE_INTEGER size{};
    ::GetFileSizeEx(handle_.Get(), &size);
    return size.QuadPart;
  }

  // Up to size bytes; a read of at least the buffer's size, with nothing
  // buffered, goes straight into out (an upload block is larger than the buffer).
  size_t Read(char* out, size_t size) {
    if (pos_ == fill_ && size >= kBufferSize) return ReadFromFile(out, size);
    if (pos_ == fill_) {
      fill_ = ReadFromFile(buffer_.data(), kBufferSize);
      pos_ = 0;
    }
    size_t count = std::min(size, fill_ - pos_);
    std::memcpy(out, buffer_.data() + pos_, count);
    pos_ += count;
    return count;
  }

  // Up to size bytes straight from the file, none read ahead.
  size_t ReadFromFile(char* out, size_t size) {
    DWORD got = 0;
    if (!::ReadFile(handle_.Get(), out, static_cast<DWORD>(size), &got, nullptr))
      throw EReadError("Read error. " + SystemErrorText(::GetLastError()));
    return got;
  }

  void Write(const char* data, size_t size) {
    while (size > 0) {
      size_t count = std::min(size, kBufferSize - fill_);
      std::memcpy(buffer_.data() + fill_, data, count);
      fill_ += count;
      data += count;
      size -= count;
      if (fill_ == kBufferSize) Flush();
    }
  }

  // Writes what the buffer holds; raises EWriteError when the disk refuses it.
  // A write that takes only part of the bytes is continued, so that the
  // error reported is the one that stops it (a full disk, say).
  void Flush() {
    if (!writing_ || fill_ == 0) return;
    const size_t wanted = fill_;
    fill_ = 0;
    for (size_t done = 0; done < wanted;) {
      DWORD written = 0;
      if (!::WriteFile(handle_.Get(), buffer_.data() + done, static_cast<DWORD>(wanted - done), &written, nullptr))
        throw EWriteError("Write error. " + SystemErrorText(::GetLastError()));
      if (written == 0) throw EWriteError("Write error. " + SystemErrorText(ERROR_DISK_FULL));
      done += written;
    }
  }

 private:
  FtpLocalFile(HANDLE h, bool writing) : handle_(h), writing_(writing), buffer_(kBufferSize) {}

  static DWORD ShareFlags(TFtpShareMode mode) {
    switch (mode) {
      case ftpShareCompat:
      case ftpShareDenyNone: return FILE_SHARE_READ | FILE_SHARE_WRITE;
      case ftpShareDenyWrite: return FILE_SHARE_READ;
      case ftpShareDenyRead: return FILE_SHARE_WRITE;
      default: return 0;  // exclusive
    }
  }

  ScopedHandle handle_;
  bool writing_;
  std::vector<char> buffer_;
  size_t pos_ = 0, fill_ = 0;
};

namespace {

constexpr DWORD kEndOfFileGraceMs = 5000;
// An upload sends one block per OnDataSent, and each block costs a trip
// through the owner thread's message queue (several calls into the system
// under Wine) and, while the server acknowledges every segment at once, a
// TCP segment and a wake-up of the server of its own. Blocks of one segment
// (1460 bytes) made uploads several times slower than the HTTP client's;
// blocks of 8192 bytes still left them at a fraction of what the loopback
// carries. Blocks of 131072 bytes (kept by the client between blocks, and
// read from the file straight into it) take STOR of 50 MB to pyftpdlib to
// 330-390 MB/s, where blocks of 65536 bytes gave 215-270 MB/s. The client's
// time limit runs from block to block, so a block that the system's send
// buffer cannot take at once must get through in 15 s: this size needs a line
// of 8.7 KB/s at least. Blocks grow from there to 1 MB while Winsock takes
// each whole (SendBlockSize), which on the loopback takes STOR of 4 MB from
// about 18 to 12 ms.
constexpr size_t kUploadFirstBlock = 131072;
constexpr size_t kUploadMostBlock = 1048576;
// Each read of a download costs a network event, a trip through the owner
// thread's queue as for upload blocks: reads of 4096 bytes held downloads to a
// quarter of the HTTP client's, and reads of 32768 bytes RETR from pyftpdlib
// to 230 MB/s where reads of 262144 bytes reach 300-390 MB/s.
constexpr size_t kDownloadBlockSize = 262144;
constexpr size_t kMaxReplyLines = 65536;
// A listing is held in memory whole: one larger than this fails rather than
// be cut (a folder of tens of thousands of names stays well below it).
constexpr size_t kMaxListingSize = 4u << 20;

DWORD NonZeroTick() {
  DWORD now = ::GetTickCount();
  return now ? now : 1;
}

bool TickPassed(DWORD now, DWORD deadline) { return static_cast<LONG>(now - deadline) >= 0; }

}  // namespace

const char* FtpStateName(TFtpState state) noexcept {
  static const char* const names[] = {"NotConnected", "Ready", "InternalReady", "Resolving", "Greeted",
                                      "Aborting", "InternalAborting", "WaitingBanner", "WaitingResponse",
                                      "PasvReady"};
  return names[static_cast<int>(state)];
}

// ---------------------------------------------------------------------------
// Construction and the state machine's plumbing.

TCustomFtpClient::TCustomFtpClient()
    : msg_request_done_(AllocateMsg()),
      msg_start_send_(AllocateMsg()),
      msg_check_eof_(AllocateMsg()),
      msg_grew_(AllocateMsg()) {
  control_.OnDnsLookupDone = Guarded(&TCustomFtpClient::ControlDnsLookupDone);
  control_.OnSessionConnected = Guarded(&TCustomFtpClient::ControlSessionConnected);
  control_.OnDataAvailable = Guarded(&TCustomFtpClient::ControlDataAvailable);
  control_.OnSessionClosed = Guarded(&TCustomFtpClient::ControlSessionClosed);
}

TCustomFtpClient::~TCustomFtpClient() {
  if (growing_) growing_->Watch(nullptr);
  local_file_.reset();
  control_.OnSessionClosed = nullptr;
  data_.OnSessionClosed = nullptr;
}

TAsyncSocket::TSocketEvent TCustomFtpClient::Guarded(void (TCustomFtpClient::*handler)(int)) {
  return [this, handler](TAsyncSocket&, uint16_t error) {
    try {
      (this->*handler)(error);
    } catch (const std::exception& e) {
      HandleBackgroundException(e);
    }
  };
}

void TCustomFtpClient::HandleBackgroundException(const std::exception& error) {
  bool can_close = true;
  if (OnBgException) OnBgException(*this, error, can_close);
  Display(std::string("! Exception: ") + error.what());
  if (!can_close) return;
  if (error_message_.empty()) error_message_ = error.what();
  if (request_result_ == 0) request_result_ = 426;
  AbortAsync();
}

void TCustomFtpClient::ChangeState(TFtpState state) {
  TFtpState old = state_.exchange(state);
  if (old == state) return;
#ifndef NDEBUG
  ::OutputDebugStringA((std::string("ftp: ") + FtpStateName(old) + " -> " + FtpStateName(state) + "\n").c_str());
#endif
  if (OnStateChange) OnStateChange(*this);
}

bool TCustomFtpClient::IsReadyForCommand() const noexcept {
  TFtpState s = state_.load();
  return s == TFtpState::Ready || s == TFtpState::InternalReady || s == TFtpState::PasvReady;
}

void TCustomFtpClient::Display(const std::string& text) {
  if (OnDisplay) OnDisplay(*this, text);
}

// A refused operation: nothing is started. Raises FtpException unless OnError takes the text.
void TCustomFtpClient::Refuse(const std::string& text) {
  steps_ = 0;
  previous_step_ = 0;
  high_level_flag_ = false;
  last_response_.clear();
  error_message_.clear();
  if (OnError) {
    OnError(*this, text);
    return;
  }
  throw FtpException(text);
}

// A command argument must be there and be one line: a CR or LF in it would end
// the command early and hand the rest to the server as a command of its own.
bool TCustomFtpClient::ArgumentUsable(const std::string& value, const char* name) {
  if (value.empty()) {
    Refuse(std::string(name) + " empty");
    return false;
  }
  if (value.find_first_of("\r\n") != std::string::npos) {
    Refuse(std::string(name) + " holds a line break");
    return false;
  }
  return true;
}

// A failure the client detected itself: its text becomes the last response and the error message.
void TCustomFtpClient::SetFailure(int code, const std::string& text) {
  last_response_ = text;
  status_code_ = code;
  error_message_ = text;
  request_result_ = code;
}

void TCustomFtpClient::TriggerRequestDone(int error) {
  if (request_done_flag_) return;
  request_done_flag_ = true;
  if (error == 0 && high_level_flag_) {
    TFtpState s = state_.load();
    if (s != TFtpState::Aborting && s != TFtpState::PasvReady) ChangeState(TFtpState::InternalReady);
    HighLevelContinue();
    return;
  }
  EndRequest(error);
}

// The one place where a request ends for its caller.
void TCustomFtpClient::EndRequest(int error) {
  ChangeState(TFtpState::Ready);
  CloseData();
  if (high_level_flag_ && saved_code_ >= 0) {
    last_response_ = saved_response_;
    status_code_ = saved_code_;
  }
  high_level_flag_ = false;
  steps_ = 0;
  // A listing that failed keeps nothing of the part that had come.
  if (error != 0 && (request_type_ == ftpLsAsync || request_type_ == ftpDirAsync)) listing_.clear();
  PostMsg(msg_request_done_, static_cast<WPARAM>(request_type_), static_cast<LPARAM>(error));
  request_ended_.Set();
}

void TCustomFtpClient::HandleMessage(MsgSlot slot, WPARAM wparam, LPARAM lparam) {
  if (slot == msg_request_done_) {
    if (OnRequestDone) OnRequestDone(*this, static_cast<TFtpRequest>(wparam), static_cast<int>(lparam));
  } else if (slot == msg_start_send_) {
    StartSending();
  } else if (slot == msg_check_eof_) {
    CheckEndOfFile();
  } else if (slot == msg_grew_) {
    if (!waiting_growth_) return;
    waiting_growth_ = false;
    SendNextBlock(0);
  }
}

void TCustomFtpClient::CloseLocalFile() {
  if (!local_file_) return;
  try {
    local_file_->Flush();
  } catch (const std::exception& e) {
    write_failed_ = true;
    write_error_ = WriteFailureText(e);
    Display(std::string("! Error writing local file ") + e.what());
  }
  local_file_.reset();
}

std::string TCustomFtpClient::WriteFailureText(const std::exception& error) const {
  if (receiving_listing_) return std::string("550 ") + error.what();
  return "550 Error writing local file " + local_file_name_ + ": " + error.what();
}

void TCustomFtpClient::CloseData() {
  if (data_.State() == wsClosed) return;
  try {
    data_.Close();
  } catch (const std::exception& e) {
    Display(std::string("! Data connection close: ") + e.what());
    data_.Abort();
  }
}

// ---------------------------------------------------------------------------
// Compound requests: a list of steps run one after the other.

void TCustomFtpClient::HighLevelAsync(TFtpRequest request, unsigned steps) {
  if (connected_ && (steps & kStepOpen)) return Refuse("FTP component already connected");
  if (!IsReadyForCommand()) return Refuse("FTP component not ready");
  saved_response_ = last_response_;
  saved_code_ = -1;
  request_type_ = request;
  request_result_ = 0;
  steps_ = steps;
  previous_step_ = 0;
  high_level_result_ = 0;
  high_level_flag_ = true;
  last_response_.clear();
  error_message_.clear();
  transfer_refused_ = false;
  request_done_flag_ = false;
  high_level_starting_ = true;
  try {
    HighLevelContinue();
  } catch (...) {
    high_level_starting_ = false;
    high_level_flag_ = false;
    steps_ = 0;
    throw;
  }
  high_level_starting_ = false;
}

void TCustomFtpClient::HighLevelContinue() {
  if (state_.load() == TFtpState::Aborting) {
    high_level_result_ = 426;
    error_message_ = "426 Operation aborted.";
    steps_ = 0;
  }
  if (request_result_ != 0) {
    high_level_result_ = request_result_;
    steps_ = ((steps_ & kStepQuit) && previous_step_ != kStepQuit) ? static_cast<unsigned>(kStepQuit) : 0u;
  }
  static const Step order[] = {kStepOpen, kStepPort, kStepGet,     kStepPut,   kStepDir, kStepLs,
                               kStepSize, kStepMdtm, kStepRenFrom, kStepRenTo, kStepQuit};
  for (Step step : order) {
    if (!(steps_ & step)) continue;
    steps_ &= ~step;
    previous_step_ = step;
    request_done_flag_ = false;
    if (high_level_starting_) {
      RunStep(step);
      return;
    }
    // A step started by a reply: a refusal ends the request as failed.
    try {
      RunStep(step);
    } catch (const std::exception& e) {
      high_level_flag_ = false;
      request_done_flag_ = false;
      SetFailure(request_result_ ? request_result_.load() : 500, e.what());
      TriggerRequestDone(request_result_);
    }
    return;
  }
  Display("! HighLevelAsync done");
  high_level_flag_ = false;
  request_done_flag_ = false;
  TriggerRequestDone(high_level_result_);
}

void TCustomFtpClient::RunStep(Step step) {
  switch (step) {
    case kStepOpen: return OpenAsync();
    case kStepPort: return PortStep();
    case kStepGet: return GetStep();
    case kStepPut: return PutStep();
    case kStepDir: return ListStep("LIST");
    case kStepLs: return ListStep("NLST");
    case kStepRenFrom: return ExecAsync(ftpRenFromAsync, "RNFR " + host_file_name_, {350});
    case kStepRenTo: return ExecAsync(ftpRenToAsync, "RNTO " + rename_to_name_, {250});
    case kStepSize: return SizeAsync();
    case kStepMdtm: return MdtmAsync();
    case kStepQuit:
      saved_response_ = last_response_;
      saved_code_ = status_code_;
      return QuitAsync();
  }
}

// ---------------------------------------------------------------------------
// Single commands.

void TCustomFtpClient::ExecAsync(TFtpRequest request, const std::string& command, std::vector<int> ok_responses,
                                 std::function<void()> done) {
  if (command != "ABOR" && command != "STAT" && command != "QUIT") {
    if (!IsReadyForCommand()) return Refuse("FTP component not ready");
    if (!connected_) return Refuse("FTP component not connected");
  }
  if (!high_level_flag_) request_type_ = request;
  if (ok_responses.size() > 15) ok_responses.resize(15);
  ok_responses_ = std::move(ok_responses);
  fnext_ = &TCustomFtpClient::ReplyJudge;
  done_async_ = std::move(done);
  error_message_.clear();
  reply_lines_.clear();
  request_done_flag_ = false;
  request_ended_.Reset();
  ChangeState(TFtpState::WaitingResponse);
  SendCommand(command);
}

void TCustomFtpClient::SendCommand(std::string command) {
  if (OnCommand) OnCommand(*this, command);
  Display("> " + command);
  if (control_.State() == wsConnected) {
    try {
      control_.SendStr(command + "\r\n");
      return;
    } catch (const std::exception& e) {
      // The connection broke under the command: the request fails now.
      fnext_ = nullptr;
      SetFailure(500, std::string("500 ") + ErrorKindName(e) + ": " + e.what());
      TriggerRequestDone(500);
      return;
    }
  }
  // No connection: the command completes at once, without the network.
  bool quit = command == "QUIT";
  status_code_ = quit ? 200 : 550;
  steps_ = 0;
  fnext_ = nullptr;
  done_async_ = nullptr;
  high_level_flag_ = false;
  connected_ = false;
  request_result_ = quit ? 0 : 550;
  last_response_ = std::to_string(status_code_) + " not connected";
  if (!quit) error_message_ = last_response_;
  TriggerRequestDone(request_result_);
}

void TCustomFtpClient::UserAsync() {
  if (user_name_.empty()) return Refuse("UserName empty");
  ExecAsync(ftpUserAsync, "USER " + user_name_, {331, 230});
}

void TCustomFtpClient::PassAsync() {
  if (pass_word_.empty()) return Refuse("Password empty");
  ExecAsync(ftpPassAsync, "PASS " + pass_word_, {230, 332});
}

void TCustomFtpClient::CwdAsync() {
  if (host_dir_name_.empty()) return Refuse("HostDirName empty");
  ExecAsync(ftpCwdAsync, "CWD " + host_dir_name_, {200, 250, 257});
}

void TCustomFtpClient::TypeSetAsync() {
  ExecAsync(ftpTypeSetAsync, std::string("TYPE ") + type_letter_, {200});
}

void TCustomFtpClient::DeleAsync() { ExecAsync(ftpDeleAsync, "DELE " + host_file_name_, {200, 250, 257}); }

void TCustomFtpClient::SizeAsync() {
  if (!ArgumentUsable(host_file_name_, "HostFileName")) return;
  file_size_result_ = -1;
  ExecAsync(ftpSizeAsync, "SIZE " + host_file_name_, {213}, [this] { SizeReply(); });
}

void TCustomFtpClient::MdtmAsync() {
  if (!ArgumentUsable(host_file_name_, "HostFileName")) return;
  modified_time_result_.clear();
  ExecAsync(ftpMdtmAsync, "MDTM " + host_file_name_, {213}, [this] { MdtmReply(); });
}

void TCustomFtpClient::SizeMdtmAsync() {
  if (!ArgumentUsable(host_file_name_, "HostFileName")) return;
  file_size_result_ = -1;
  modified_time_result_.clear();
  HighLevelAsync(ftpSizeMdtmAsync, kStepSize | kStepMdtm);
}

void TCustomFtpClient::FeatAsync() {
  features_.clear();
  ExecAsync(ftpFeatAsync, "FEAT", {211}, [this] { FeatReply(); });
}

void TCustomFtpClient::OptsAsync() {
  if (!ArgumentUsable(opts_text_, "OptsText")) return;
  ExecAsync(ftpOptsAsync, "OPTS " + opts_text_, {200});
}

void TCustomFtpClient::RenameAsync() {
  if (!ArgumentUsable(host_file_name_, "HostFileName") || !ArgumentUsable(rename_to_name_, "RenameToName")) return;
  HighLevelAsync(ftpRenameAsync, kStepRenFrom | kStepRenTo);
}

void TCustomFtpClient::QuitAsync() {
  local_file_.reset();
  ExecAsync(ftpQuitAsync, "QUIT", {221}, [this] { control_.Close(); });
}

void TCustomFtpClient::GetAsync() { HighLevelAsync(ftpGetAsync, kStepPort | kStepGet); }
void TCustomFtpClient::NlstAsync() { HighLevelAsync(ftpLsAsync, kStepPort | kStepLs); }
void TCustomFtpClient::ListAsync() { HighLevelAsync(ftpDirAsync, kStepPort | kStepDir); }

void TCustomFtpClient::PutAsync() {
  data_.SetLastError(0);
  HighLevelAsync(ftpPutAsync, kStepPort | kStepPut);
  if (data_.LastError() != 0) throw FtpException("Socket Error - " + SocketErrorText(data_.LastError()));
}

void TCustomFtpClient::AbortAsync() {
  ChangeState(TFtpState::Aborting);
  Display("! Aborting");
  local_file_.reset();
  fnext_ = nullptr;
  done_async_ = nullptr;
  steps_ = 0;
  control_.Abort();
  data_.Abort();
  connected_ = false;
  // A request still pending (its connection was already gone) ends here.
  if (!request_done_flag_) {
    high_level_flag_ = false;
    if (request_result_ == 0) request_result_ = 426;
    TriggerRequestDone(request_result_);
  }
  high_level_flag_ = false;
  ChangeState(TFtpState::Ready);
}

void TCustomFtpClient::SetGrowingLocalFile(std::shared_ptr<GrowingFile> v) {
  if (growing_) growing_->Watch(nullptr);
  growing_ = std::move(v);
}

void TCustomFtpClient::SetDataPortRangeStart(unsigned v) {
  if (v > 65535) throw FtpException("DataPortRangeStart must be in the range 0..65535");
  data_port_range_start_ = v;
}

void TCustomFtpClient::SetDataPortRangeEnd(unsigned v) {
  if (v > 65535) throw FtpException("DataPortRangeEnd must be in the range 0..65535");
  data_port_range_end_ = v;
}

// ---------------------------------------------------------------------------
// Control connection.

void TCustomFtpClient::OpenAsync() {
  if (!IsReadyForCommand()) return Refuse("FTP component not ready");
  if (connected_) return Refuse("FTP component already connected");
  if (!high_level_flag_) request_type_ = ftpOpenAsync;
  request_done_flag_ = false;
  request_ended_.Reset();
  reader_.Clear();
  reader_.SetAcceptLf(options_ & ftpAcceptLF);
  reply_lines_.clear();
  request_result_ = 0;
  ChangeState(TFtpState::Resolving);
  try {
    control_.DnsLookup(connection_type_ == ftpProxy ? ProxyServer : host_name_);
  } catch (...) {
    // Nothing started: the client stays usable.
    request_done_flag_ = true;
    ChangeState(TFtpState::Ready);
    throw;
  }
}

void TCustomFtpClient::ControlDnsLookupDone(int error) {
  if (state_.load() != TFtpState::Resolving) return;
  if (error) {
    SetFailure(500, "500 DNS lookup error - " + SocketErrorText(error));
    TriggerRequestDone(error);
    return;
  }
  control_.SetAddr(control_.DnsResult());
  control_.SetLocalAddr(local_addr_);
  control_.SetProto("tcp");
  control_.SetPort(port_);
  ChangeState(TFtpState::WaitingBanner);
  try {
    control_.Connect();
  } catch (const std::exception& e) {
    SetFailure(500, std::string("500 ") + ErrorKindName(e) + ": " + e.what());
    TriggerRequestDone(500);
  }
}

void TCustomFtpClient::ControlSessionConnected(int error) {
  if (error == 0) {
    connected_ = true;
    return;
  }
  SetFailure(500, "500 Connect error - " + SocketErrorText(error));
  fnext_ = nullptr;
  TriggerRequestDone(error);
  control_.Close();
  ChangeState(TFtpState::Ready);
}

void TCustomFtpClient::ControlDataAvailable(int) {
  if (reader_.WriteSpace() == 0) return;
  int count = control_.Receive(reader_.WritePointer(), static_cast<int>(reader_.WriteSpace()));
  if (count <= 0) return;
  TFtpState s = state_.load();
  if (request_type_ == ftpRqAbort || s == TFtpState::Aborting || s == TFtpState::InternalAborting) return;
  reader_.Commit(static_cast<size_t>(count));
  while (auto line = reader_.NextLine()) {
    last_response_ = *line;
    if (reply_lines_.size() < kMaxReplyLines) reply_lines_ += *line + "\r\n";
    if (OnResponse) OnResponse(*this, *line);
    HandleReplyLine(*line);
    if (control_.State() != wsConnected) return;
  }
  if (reader_.Overflowed()) {
    // A line longer than the buffer: nothing more can be read from this connection.
    reader_.Clear();
    SetFailure(500, "500 Reply line too long (more than 4095 bytes)");
    Display("! " + last_response_);
    fnext_ = nullptr;
    control_.Close();
  }
}

void TCustomFtpClient::HandleReplyLine(const std::string& line) {
  FtpReplyLine parsed = ParseReplyLine(line);
  switch (state_.load()) {
    case TFtpState::WaitingBanner:
      Display("< " + line);
      if (!parsed.has_code) return;
      status_code_ = parsed.code;
      if (parsed.continued) return;
      if (parsed.code != 220) {
        if (error_message_.empty()) error_message_ = line;
        request_result_ = parsed.code;
        control_.Close();
        return;
      }
      ChangeState(TFtpState::Greeted);
      if (OnSessionConnected) OnSessionConnected(*this, 0);
      TriggerRequestDone(0);
      return;
    case TFtpState::WaitingResponse:
      if (!parsed.has_code || parsed.continued) {
        if (parsed.has_code) status_code_ = parsed.code;
        Display("< " + line);
        return;
      }
      status_code_ = parsed.code;
      if (!fnext_) {
        Display("< " + line);
        Display("! Program error: FNext is nil");
        return;
      }
      (this->*fnext_)(parsed.code);
      return;
    default:
      Display("< " + line);
      return;
  }
}

void TCustomFtpClient::ReplyJudge(int code) {
  Display("< " + last_response_);
  status_code_ = code;
  bool ok = ok_responses_.empty() ? code < 500
                                  : std::find(ok_responses_.begin(), ok_responses_.end(), code) != ok_responses_.end();
  request_result_ = ok ? 0 : code;
  if (!ok && error_message_.empty()) error_message_ = last_response_;
  if (passive_ && code == 227) {
    ChangeState(TFtpState::PasvReady);
    pasv_response_ = last_response_;
  }
  if (done_async_) {
    auto done = std::move(done_async_);
    done_async_ = nullptr;
    done();
    return;
  }
  TriggerRequestDone(request_result_);
}

// Completion steps of the commands whose final reply carries a value: each
// reads it from an accepted reply, and a reply without it fails the request.
void TCustomFtpClient::SizeReply() {
  if (request_result_ == 0) {
    if (auto size = ParseSizeReply(last_response_))
      file_size_result_ = *size;
    else
      SetFailure(550, "550 No size in the reply: " + last_response_);
  }
  TriggerRequestDone(request_result_);
}

void TCustomFtpClient::MdtmReply() {
  if (request_result_ == 0) {
    if (auto time = ParseMdtmReply(last_response_))
      modified_time_result_ = std::move(*time);
    else
      SetFailure(550, "550 No time in the reply: " + last_response_);
  }
  TriggerRequestDone(request_result_);
}

void TCustomFtpClient::FeatReply() {
  if (request_result_ == 0) features_ = ParseFeatReply(reply_lines_);
  TriggerRequestDone(request_result_);
}

void TCustomFtpClient::ControlSessionClosed(int error) {
  bool aborting = state_.load() == TFtpState::Aborting;
  if (connected_) {
    connected_ = false;
    if (!aborting) ChangeState(TFtpState::NotConnected);
    if (OnSessionClosed) OnSessionClosed(*this, error);
  }
  if (!aborting) ChangeState(TFtpState::InternalReady);
  if (request_type_ == ftpRqAbort) return;
  if (error) {
    SetFailure(500, "500 Control connection closed - " + SocketErrorText(error));
  } else if (!request_done_flag_ && request_type_ != ftpQuitAsync && request_result_ == 0) {
    // The connection went away in the middle of a request: that request has not succeeded.
    if (aborting) {
      request_result_ = 426;
      error_message_ = "426 Operation aborted.";
    } else {
      SetFailure(500, "500 Control connection closed - Connection closed by server");
    }
  }
  high_level_flag_ = false;
  TriggerRequestDone(request_result_);
}

// ---------------------------------------------------------------------------
// Data connection: set-up.

void TCustomFtpClient::PortStep() {
  data_.OnSessionAvailable = nullptr;
  data_.OnSessionClosed = nullptr;
  data_.OnDataAvailable = nullptr;
  data_.OnDataSent = nullptr;
  data_.OnSessionConnected = nullptr;
  CloseData();
  data_.SetProto("tcp");
  data_.SetAddr("0.0.0.0");
  data_.SetPort("0");
  std::string command = "PASV";
  if (!passive_) {
    data_.OnSessionAvailable = Guarded((steps_ & kReceivingSteps) ? &TCustomFtpClient::DownloadAccept
                                                                  : &TCustomFtpClient::UploadAccept);
    data_.SetLingerOnOff(wsLingerOn);
    data_.SetLingerTimeout(10);
    if (data_port_range_start_ == 0 && data_port_range_end_ == 0) {
      data_.Listen();
    } else {
      if (data_port_range_end_ < data_port_range_start_)
        return Refuse("DataPortRangeEnd must be greater than DataPortRangeStart");
      unsigned first = (last_data_port_ >= data_port_range_start_ && last_data_port_ <= data_port_range_end_)
                           ? last_data_port_
                           : data_port_range_start_;
      unsigned port = first;
      for (;;) {
        data_.SetProto("tcp");
        data_.SetAddr("0.0.0.0");
        data_.SetPort(std::to_string(port));
        try {
          data_.Listen();
          break;
        } catch (const ESocketException&) {
          int code = data_.LastError();
          data_.Abort();
          if (code != 10048) throw FtpException("Data connection winsock bind failed - " + SocketErrorText(code));
          port = port >= data_port_range_end_ ? data_port_range_start_ : port + 1;
          if (port == first) throw FtpException("All ports in DataPortRange are in use");
        }
      }
      last_data_port_ = port >= data_port_range_end_ ? data_port_range_start_ : port + 1;
    }
    TSockAddrIn listening, local;
    data_.GetSockName(listening);
    control_.GetSockName(local);
    const uint8_t local_bytes[4] = {static_cast<uint8_t>(local.addr >> 24), static_cast<uint8_t>(local.addr >> 16),
                                    static_cast<uint8_t>(local.addr >> 8), static_cast<uint8_t>(local.addr)};
    command = BuildPortCommand(control_.Addr(), local_bytes, listening.port);
  }
  byte_count_ = 0;
  ExecAsync(ftpPortAsync, command, {200, 227});
}

// Connects the data socket to the port of the 227 reply on the server the
// control connection is connected to. The address in the reply is not used:
// a hostile or tampered server could otherwise send the address book to any
// host. False when the request has already ended as failed with fail_code.
bool TCustomFtpClient::ConnectPassiveData(int fail_code, TAsyncSocket::TSocketEvent on_connected) {
  auto target = ParsePasvReply(pasv_response_);
  if (!target) {
    SetFailure(fail_code, std::to_string(fail_code) + " Unable to read the data address in: " + pasv_response_);
    FailTransfer(fail_code);
    return false;
  }
  TSockAddrIn server;
  if (control_.GetPeerName(server) != 0) {
    SetFailure(fail_code, "Unable to establish data connection - " + SocketErrorText(control_.LastError()));
    FailTransfer(fail_code);
    return false;
  }
  try {
    data_.SetProto("tcp");
    data_.SetPort(std::to_string(target->port));
    data_.SetAddr(server.AddrText());
    data_.SetLocalAddr(local_addr_);
    data_.OnSessionConnected = std::move(on_connected);
    data_.SetLingerOnOff(wsLingerOff);
    data_.SetLingerTimeout(0);
    data_.SetComponentOptions(wsoNoReceiveLoop);
    data_.Connect();
  } catch (const std::exception& e) {
    SetFailure(fail_code, std::to_string(fail_code) + " " + ErrorKindName(e) + ": " + e.what());
    FailTransfer(fail_code);
    return false;
  }
  return true;
}

// Ends the running transfer as failed with code (the texts are already set).
void TCustomFtpClient::FailTransfer(int code) {
  fnext_ = nullptr;
  CloseData();
  CloseLocalFile();
  resume_at_ = 0;
  request_result_ = code;
  TriggerRequestDone(code);
}

void TCustomFtpClient::DataProgress() {
  bool abort = false;
  if (OnProgress) OnProgress(*this, byte_count_ + resume_at_, abort);
  DataBlockMoved();
  if (abort) AbortAsync();
}

// ---------------------------------------------------------------------------
// Download: RETR into the local file, LIST and NLST into memory.

void TCustomFtpClient::GetStep() {
  if (local_file_name_.empty() && !display_file_flag_) return Refuse("LocalFileName empty");
  if (!high_level_flag_) request_type_ = ftpGetAsync;
  BeginReceiving(false);
  if (!display_file_flag_) {
    local_file_.reset();
    try {
      local_file_ = FtpLocalFile::CreateForWrite(local_file_name_, share_mode_);
    } catch (const std::exception& e) {
      SetFailure(550, "Unable to open local file " + local_file_name_ + ": " + e.what());
      FailTransfer(550);
      return;
    }
  }
  SendReceivingCommand(host_file_name_.empty() ? "RETR" : "RETR " + host_file_name_);
}

// LIST or NLST: a download as Get's, into memory instead of a file.
void TCustomFtpClient::ListStep(const char* command) {
  BeginReceiving(true);
  local_file_.reset();
  SendReceivingCommand(command);
}

void TCustomFtpClient::BeginReceiving(bool listing) {
  final_reply_seen_ = data_closed_ = upload_open_ = preliminary_seen_ = eof_reached_ = write_failed_ = false;
  request_done_flag_ = false;
  byte_count_ = 0;
  data_close_error_ = 0;
  transfer_start_ = 0;
  receiving_listing_ = listing;
  if (listing) listing_.clear();
  data_.OnSessionAvailable = Guarded(&TCustomFtpClient::DownloadAccept);
}

// In passive mode the command goes out while the data connection is still being made.
void TCustomFtpClient::SendReceivingCommand(const std::string& command) {
  if (passive_ && !ConnectPassiveData(550, Guarded(&TCustomFtpClient::DownloadConnected))) return;
  ChangeState(TFtpState::WaitingResponse);
  fnext_ = &TCustomFtpClient::GetFirstReply;
  SendCommand(command);
}

void TCustomFtpClient::DownloadAccept(int) {
  TSocket handle = data_.Accept();
  data_.Close();
  data_.OnSessionClosed = Guarded(&TCustomFtpClient::DownloadClosed);
  data_.OnDataAvailable = Guarded(&TCustomFtpClient::DownloadData);
  data_.OnDataSent = nullptr;
  data_.Dup(handle);
  data_.SetComponentOptions(wsoNoReceiveLoop);
  transfer_start_ = NonZeroTick();
}

void TCustomFtpClient::DownloadConnected(int error) {
  data_.OnSessionClosed = Guarded(&TCustomFtpClient::DownloadClosed);
  data_.OnDataAvailable = Guarded(&TCustomFtpClient::DownloadData);
  data_.OnDataSent = nullptr;
  transfer_start_ = NonZeroTick();
  if (error) {
    if (request_done_flag_) return;  // the transfer has already failed otherwise
    SetFailure(550, "Unable to establish data connection - " + SocketErrorText(error));
    FailTransfer(550);
  }
}

// One read of at most kDownloadBlockSize bytes per network event. (Reading
// more than once per event does not pay: every read that leaves data behind
// makes Winsock post another read notification, and the queue floods,
// delaying every other message.)
void TCustomFtpClient::DownloadData(int) { ReceiveBlock(); }

// One read of the data connection; true when it filled the whole block.
bool TCustomFtpClient::ReceiveBlock() {
  DataProgress();
  if (data_.State() != wsConnected) return false;
  LentBlock block(receive_block_, kDownloadBlockSize);
  char* buffer = block.Data();
  int count = data_.Receive(buffer, static_cast<int>(kDownloadBlockSize));
  if (count > 0) {
    byte_count_ += count;
    if (state_.load() == TFtpState::Aborting) {
      Display("! Data ignored while aborting");
      return false;
    }
    try {
      KeepReceived(buffer, static_cast<size_t>(count));
    } catch (const std::exception& e) {
      // The local disk refused the data (it is full, say), or the listing
      // grew beyond its bound: the transfer has failed whatever the server
      // answers, and for the local reason. The data connection is closed at
      // once, so that the server ends the transfer with its final reply
      // instead of waiting for the time limit.
      write_failed_ = true;
      write_error_ = WriteFailureText(e);
      Display(std::string(receiving_listing_ ? "! " : "! Error writing local file ") + e.what());
      CloseLocalFile();
      CloseData();
      data_closed_ = true;
      CheckTransferDone();
      return false;
    }
    return count == static_cast<int>(kDownloadBlockSize);
  }
  if (count < 0 && data_.State() == wsConnected && data_.LastError() != 10035) {
    Display("! Data: Receive Error - " + SocketErrorText(data_.LastError()));
    data_.Shutdown(2);
  }
  return false;
}

void TCustomFtpClient::KeepReceived(const char* data, size_t size) {
  if (receiving_listing_) {
    if (size > kMaxListingSize - listing_.size())
      throw FtpException("Listing larger than " + std::to_string(kMaxListingSize) + " bytes: not kept");
    listing_.append(data, size);
  } else if (display_file_flag_) {
    if (OnDisplayFile) OnDisplayFile(*this, std::string(data, size));
  } else if (local_file_) {
    local_file_->Write(data, size);
  }
}

void TCustomFtpClient::DownloadClosed(int error) {
  CloseLocalFile();
  data_closed_ = true;
  data_close_error_ = error;
  CheckTransferDone();
}

void TCustomFtpClient::GetFirstReply(int code) {
  Display("< " + last_response_);
  if ((code >= 150 && code <= 159) || code == 125) {
    fnext_ = &TCustomFtpClient::GetSecondReply;
    return;
  }
  error_message_ = last_response_;
  transfer_refused_ = true;
  FailTransfer(code);
}

void TCustomFtpClient::GetSecondReply(int code) {
  Display("< " + last_response_);
  // After a local write failure any final reply ends the transfer, as failed.
  if (code == 226 || code == 250 || code == 125 || write_failed_) {
    final_reply_seen_ = true;
    CheckTransferDone();
    return;
  }
  error_message_ = last_response_;
  Display("! RETR/LIST/NLST Failed");
  FailTransfer(code);
}

// Both the final reply and the close of the data connection have come: the transfer is over.
void TCustomFtpClient::CheckTransferDone() {
  if (request_done_flag_ || !final_reply_seen_ || !data_closed_) return;
  resume_at_ = 0;
  fnext_ = nullptr;
  if (write_failed_) {
    // The file on disk is not what the server sent.
    SetFailure(550, write_error_);
    TriggerRequestDone(550);
    return;
  }
  request_result_ = data_close_error_;
  TriggerRequestDone(data_close_error_);
}

// ---------------------------------------------------------------------------
// Upload: STOR from the local file, one block (SendBlockSize) per OnDataSent.

void TCustomFtpClient::PutStep() {
  if (!connected_) return Refuse("STOR/APPE: not connected");
  if (local_file_name_.empty()) return Refuse("LocalFileName empty");
  request_type_ = ftpPutAsync;
  final_reply_seen_ = data_closed_ = preliminary_seen_ = eof_reached_ = write_failed_ = false;
  // In active mode a server may connect as soon as it has the PORT command.
  upload_open_ = !passive_ && data_.State() == wsConnected;
  request_done_flag_ = false;
  transfer_start_ = 0;
  byte_count_ = 0;
  upload_block_ = SendBlockSize(kUploadFirstBlock, kUploadMostBlock);
  data_close_error_ = 0;
  bool cancel = false;
  if (OnReadyToTransmit) OnReadyToTransmit(*this, cancel);
  if (cancel) {
    SetFailure(426, "426 Transmit cancelled by application");
    FailTransfer(426);
    return;
  }
  data_.OnSessionAvailable = Guarded(&TCustomFtpClient::UploadAccept);
  local_file_.reset();
  waiting_growth_ = false;
  try {
    if (!growing_) {
      local_file_ = FtpLocalFile::OpenForRead(local_file_name_, share_mode_);
      Display("! Upload Size " + std::to_string(local_file_->Size()));
    } else if (growing_->OpenWhileGrowing([this] { local_file_ = FtpLocalFile::OpenGrowing(local_file_name_); })) {
      // Its writer tells when there is more to send.
      growing_->Watch([this](const GrowingFile::Extent&) { PostMsg(msg_grew_); });
      Display("! Upload of a growing file");
    } else {
      throw Exception("it is no longer being written");
    }
  } catch (const std::exception& e) {
    SetFailure(426, "Unable to open local file " + local_file_name_ + ": " + e.what());
    FailTransfer(426);
    return;
  }
  if (passive_) {
    ConnectPassiveData(426, Guarded(&TCustomFtpClient::UploadConnected));  // STOR follows the connection
    return;
  }
  ChangeState(TFtpState::WaitingResponse);
  fnext_ = &TCustomFtpClient::PutFirstReply;
  SendCommand("STOR " + host_file_name_);
}

void TCustomFtpClient::UploadConnected(int error) {
  data_.OnSessionClosed = Guarded(&TCustomFtpClient::UploadClosed);
  data_.OnDataAvailable = nullptr;
  data_.OnDataSent = nullptr;
  upload_open_ = true;
  transfer_start_ = NonZeroTick();
  if (error) {
    if (request_done_flag_) return;  // the transfer has already failed otherwise
    SetFailure(550, "Unable to establish data connection - " + SocketErrorText(error));
    FailTransfer(550);
    return;
  }
  ChangeState(TFtpState::WaitingResponse);
  fnext_ = &TCustomFtpClient::PutFirstReply;
  SendCommand("STOR " + host_file_name_);
}

void TCustomFtpClient::UploadAccept(int) {
  TSocket handle = data_.Accept();
  data_.Close();
  data_.OnSessionClosed = Guarded(&TCustomFtpClient::UploadClosed);
  data_.OnDataAvailable = [](TAsyncSocket& socket, uint16_t) {
    char discard[2048];
    socket.Receive(discard, sizeof discard);
  };
  data_.OnDataSent = Guarded(&TCustomFtpClient::SendNextBlock);
  data_.Dup(handle);
  data_.SetComponentOptions(wsoNoReceiveLoop);
  try {
    data_.ReadSocketSndBufSize();
  } catch (const std::exception&) {
    Display("! winsock.getsockopt(SO_SNDBUF) failed");
  }
  data_.SetLingerOnOff(wsLingerOff);
  data_.SetLingerTimeout(10);
  data_.SetLingerOption();
  upload_open_ = true;
  if (preliminary_seen_ && transfer_start_ == 0) PostMsg(msg_start_send_);
}

void TCustomFtpClient::PutFirstReply(int code) {
  Display("< " + last_response_);
  if (code == 150 || code == 125) {
    preliminary_seen_ = true;
    fnext_ = &TCustomFtpClient::PutSecondReply;
    if (passive_) {
      data_.OnDataSent = Guarded(&TCustomFtpClient::SendNextBlock);
      Display("! Send first block");
      SendNextBlock(0);
    } else if (upload_open_ && transfer_start_ == 0) {
      PostMsg(msg_start_send_);
    }
    return;
  }
  error_message_ = last_response_;
  FailTransfer(code);
}

void TCustomFtpClient::PutSecondReply(int code) {
  Display("< " + last_response_);
  if (code == 226 || code == 250) {
    final_reply_seen_ = true;
    CheckTransferDone();
    return;
  }
  error_message_ = last_response_;
  Display("! STOR Failed");
  FailTransfer(code);
}

void TCustomFtpClient::StartSending() {
  if (transfer_start_ != 0 || !local_file_ || !upload_open_) return;
  transfer_start_ = NonZeroTick();
  SendNextBlock(0);
}

void TCustomFtpClient::SendNextBlock(int error) {
  if (!local_file_) return;
  DataProgress();
  if (error) {
    Display("! Error sending data - " + SocketErrorText(error));
    CloseData();
    return;
  }
  if (eof_reached_ || !preliminary_seen_ || !upload_open_) return;
  size_t size = upload_block_.Next();
  if (growing_) {
    const GrowingFile::Extent extent = growing_->Now();
    if (extent.failed) return FailLocalRead("The local file " + local_file_name_ + " was never completed");
    const uint64_t left = extent.final_bytes - static_cast<uint64_t>(byte_count_);
    if (left == 0 && !extent.whole) {
      waiting_growth_ = true;  // until its writer tells of more
      return;
    }
    size = static_cast<size_t>(std::min<uint64_t>(size, left));
  }
  LentBlock lent(send_block_, size);
  char* block = lent.Data();
  size_t count = 0;
  try {
    // What lies beyond the final bytes of a growing file may still change:
    // nothing of it is read ahead, and every final byte is there.
    if (!growing_) {
      count = local_file_->Read(block, size);
    } else if (size > 0 && (count = local_file_->ReadFromFile(block, size)) == 0) {
      throw EReadError("The file ends before the bytes written to it");
    }
  } catch (const std::exception& e) {
    return FailLocalRead(std::string("Error reading file ") + ErrorKindName(e) + ": " + e.what());
  }
  if (count > 0) {
    byte_count_ += static_cast<int64_t>(count);
    data_.Send(block, static_cast<int>(count));
    upload_block_.Sent(data_.BufferedByteCount() == 0);
    return;
  }
  eof_deadline_ = ::GetTickCount() + kEndOfFileGraceMs;
  PostMsg(msg_check_eof_);
}

// At the end of the file: once everything has gone to the network (or at
// most 5 s later), the sending side is shut so the server sees the end.
void TCustomFtpClient::CheckEndOfFile() {
  if (eof_reached_ || !upload_open_ || data_.State() != wsConnected) return;
  if (data_.BufferedByteCount() > 0 && !TickPassed(::GetTickCount(), eof_deadline_)) {
    if (control_.State() == wsConnected) PostMsg(msg_check_eof_);
    return;
  }
  data_.Shutdown(1);
  eof_reached_ = true;
}

// A local file that cannot be read to its end: the server would take the
// part sent for the whole file, so the request fails and both connections
// close at once, before the end of the data could reach it as a normal end.
void TCustomFtpClient::FailLocalRead(const std::string& text) {
  Display("! " + text);
  SetFailure(426, "426 " + text);
  AbortAsync();
}

void TCustomFtpClient::UploadClosed(int error) {
  CloseLocalFile();
  data_closed_ = true;
  data_close_error_ = error;
  CheckTransferDone();
}

// ---------------------------------------------------------------------------
// TFtpClient: the synchronous forms.

bool TFtpClient::Open() { return Synchronize([this] { OpenAsync(); }); }
bool TFtpClient::User() { return Synchronize([this] { UserAsync(); }); }
bool TFtpClient::Pass() { return Synchronize([this] { PassAsync(); }); }
bool TFtpClient::Cwd() { return Synchronize([this] { CwdAsync(); }); }
bool TFtpClient::TypeSet() { return Synchronize([this] { TypeSetAsync(); }); }
bool TFtpClient::Get() { return Synchronize([this] { GetAsync(); }); }
bool TFtpClient::Put() { return Synchronize([this] { PutAsync(); }); }
bool TFtpClient::Dele() { return Synchronize([this] { DeleAsync(); }); }
bool TFtpClient::Nlst() { return Synchronize([this] { NlstAsync(); }); }
bool TFtpClient::List() { return Synchronize([this] { ListAsync(); }); }
bool TFtpClient::Size() { return Synchronize([this] { SizeAsync(); }); }
bool TFtpClient::Mdtm() { return Synchronize([this] { MdtmAsync(); }); }
bool TFtpClient::SizeMdtm() { return Synchronize([this] { SizeMdtmAsync(); }); }
bool TFtpClient::Rename() { return Synchronize([this] { RenameAsync(); }); }
bool TFtpClient::Feat() { return Synchronize([this] { FeatAsync(); }); }
bool TFtpClient::Opts() { return Synchronize([this] { OptsAsync(); }); }
bool TFtpClient::Quit() { return Synchronize([this] { QuitAsync(); }); }

bool TFtpClient::Abort() {
  try {
    RunOnOwnerThread([this] { AbortAsync(); });
  } catch (...) {
  }
  return request_result_.load() == 0;
}

void TFtpClient::MoveDeadline() noexcept {
  if (timeout_ > 0) deadline_.store(::GetTickCount() + static_cast<DWORD>(timeout_) * 1000);
}

void TFtpClient::DataBlockMoved() { MoveDeadline(); }

bool TFtpClient::Run(void (TCustomFtpClient::*start)(), const std::function<void()>& prepare) {
  return Synchronize([&] { (this->*start)(); }, prepare);
}

// Starts the request on the owner thread, then waits for its end.
bool TFtpClient::Synchronize(const std::function<void()>& start, const std::function<void()>& prepare) {
  bool prepared = !prepare;
  try {
    RunOnOwnerThread([&] {
      if (prepare) prepare();
      prepared = true;
      request_ended_.Reset();
      MoveDeadline();
      start();
    });
  } catch (...) {
    if (!prepared) throw;
    return false;
  }
  return WaitUntilReady();
}

bool TFtpClient::WaitUntilReady() {
  bool owner = IsOwnerThread();
  for (;;) {
    if (request_ended_.IsSet()) break;
    DWORD slice = 1000;
    if (timeout_ > 0) {
      LONG left = static_cast<LONG>(deadline_.load() - ::GetTickCount());
      if (left <= 0) {
        // Timeout path: the request is dropped and both connections closed.
        try {
          RunOnOwnerThread([this] {
            AbortAsync();
            error_message_ = "426 Timeout";
            status_code_ = 426;
            request_result_ = 426;
          });
        } catch (...) {
        }
        return false;
      }
      slice = std::min<DWORD>(slice, static_cast<DWORD>(left));
    }
    if (!owner) {
      request_ended_.Wait(slice);
      continue;
    }
    if (Options() & ftpWaitUsingSleep) {
      ::Sleep(0);
    } else {
      HANDLE ended = request_ended_.Get();
      ::MsgWaitForMultipleObjects(1, &ended, FALSE, slice, QS_ALLINPUT);
    }
    MessagePump();
    if (Terminated() && !request_ended_.IsSet()) {
      AbortAsync();
      error_message_ = "426 Timeout";
      status_code_ = 426;
      request_result_ = 426;
      return false;
    }
  }
  return request_result_.load() == 0;
}

}  // namespace n2
