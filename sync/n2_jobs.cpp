#include "sync/n2_jobs.h"

#include <windows.h>

#include <exception>
#include <optional>
#include <string>

#include "base/exception.h"
#include "base/message_box.h"
#include "base/system_code_page.h"
#include "sync/ftp_transport.h"
#include "sync/http_transport.h"
#include "sync/job_log.h"
#include "sync/sync_engine.h"

namespace n2 {
namespace {

// The texts of the packing's and the unpacking's boxes; the error's kind and
// message follow them.
constexpr char kCompressErrorText[] = "Norvel2 plug-in Velmora Address Book Compress Error!\r\nPlease try again.\r\n";
constexpr char kExtractErrorText[] = "Norvel2 plug-in Velmora Address Book Extract Error!\r\nPlease try again.\r\n";

enum class TOperation { kUpload, kDownload, kClear };

struct JobSpec {
  const char* name;
  bool ftp;
  TOperation operation;
  const char* text;  // the job's box text
};

const JobSpec kJobs[] = {
    {"FtpUpload", true, TOperation::kUpload,
     "Norvel2 plug-in Velmora FtpUpload Address Book Upload Error!\r\nPlease try again.\r\n"},
    {"FtpDownload", true, TOperation::kDownload,
     "Norvel2 plug-in Velmora FtpDownload Address Book Download Error!\r\nPlease try again.\r\n"},
    {"FtpClear", true, TOperation::kClear,
     "Norvel2 plug-in Velmora FtpClear Address Book Clear Error!\r\nPlease try again.\r\n"},
    {"HttpUpload", false, TOperation::kUpload,
     "Norvel2 plug-in Velmora HttpUpload Address Book Upload Error!\r\nPlease try again.\r\n"},
    {"HttpDownload", false, TOperation::kDownload,
     "Norvel2 plug-in Velmora HttpDownload Address Book Download Error!\r\nPlease try again.\r\n"},
    {"HttpClear", false, TOperation::kClear,
     "Norvel2 plug-in Velmora HttpClear Address Book Clear Error!\r\nPlease try again.\r\n"},
};

const char* TriggerName(TJobTrigger trigger) {
  switch (trigger) {
    case TJobTrigger::kByHand: return "by hand";
    case TJobTrigger::kChange: return "change";
    case TJobTrigger::kTimer: return "timer";
    case TJobTrigger::kStartUp: return "start";
    case TJobTrigger::kShutdown: return "shutdown";
  }
  return "";
}

// A number no other installation draws: the clocks, the process and the
// thread mixed (an installation draws one once, for the identities of the
// card versions it makes).
uint64_t RandomNumber() {
  LARGE_INTEGER counter;
  ::QueryPerformanceCounter(&counter);
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  uint64_t x = (uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime) ^ static_cast<uint64_t>(counter.QuadPart) ^
               (uint64_t{::GetCurrentProcessId()} << 40) ^ (uint64_t{::GetCurrentThreadId()} << 20) ^ ::GetTickCount();
  // splitmix64's finaliser spreads every input bit over the result.
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Which server the record of a job speaks for: its type, host and folder.
std::string ServerName(bool ftp, const TServerSettings& s) {
  return ftp ? "ftp://" + s.server + " " + s.path : "http://" + s.server + s.path;
}

TJobOutcome Run(const JobSpec& job, TJobTrigger trigger, const TJobContext& context) {
  TSyncFrontEnd& front = *context.front;
  TFileSystem& disk = *context.disk;
  TServerSettings settings;
  context.ftp->RunOnOwnerThread([&] { settings = front.ServerSettings(); });
  std::optional<TFtpTransport> ftp;
  std::optional<THttpTransport> http;
  TTransport* transport = nullptr;
  if (job.ftp)
    transport = &ftp.emplace(*context.ftp, front, job.text, context.data_folder + "N2AddBook.zip", context.threads);
  else
    transport = &http.emplace(*context.http, front, disk, context.threads);
  TSyncRequest request;
  request.fs = &disk;
  request.lead = &SystemLeadBytes();
  request.data_folder = context.data_folder;
  request.server = ServerName(job.ftp, settings);
  request.transport = transport;
  request.random = &RandomNumber;
  request.wait = [](int milliseconds) { ::Sleep(static_cast<DWORD>(milliseconds)); };
  request.threads = context.threads;
  TSyncEngine engine(request);
  TJobReport report;
  switch (job.operation) {
    case TOperation::kUpload: report = engine.Upload(trigger == TJobTrigger::kByHand); break;
    // Only the 10-minute download asks whether the server's book changed;
    // the one at start and one by hand bring back any card missing here.
    case TOperation::kDownload: report = engine.Download(trigger == TJobTrigger::kTimer); break;
    case TOperation::kClear: report = engine.Clear(); break;
  }
  std::string box;
  if (report.error) {
    const char* text = report.result == TJobResult::kPackFailed      ? kCompressErrorText
                       : report.result == TJobResult::kExtractFailed ? kExtractErrorText
                                                                     : job.text;
    try {
      std::rethrow_exception(report.error);
    } catch (const std::exception& error) {
      box = ErrorReport(text, error);
    } catch (...) {
      box = std::string(text) + "Exception\r\nUnknown error";
    }
  }
  TJobLog::Append(disk, context.data_folder, TJobLog::Lines(LocalNow(disk), job.name, TriggerName(trigger), report, box));
  if (!box.empty()) ShowMessageBox(box);
  const std::string conflicts = TJobLog::ConflictText(report);
  if (!conflicts.empty()) ShowMessageBox(conflicts);
  // The connection is closed whatever happened, once more after the boxes.
  if (job.ftp) context.ftp->Abort();
  TJobOutcome outcome;
  outcome.done = !report.error;
  outcome.upload_wanted = report.upload_wanted;
  outcome.upload_needed = report.upload_needed && report.result != TJobResult::kPackFailed;
  return outcome;
}

}  // namespace

TJobOutcome RunJob(int32_t kind, TJobTrigger trigger, const TJobContext& context) {
  if (kind < jkFtpUpload || kind > jkHttpClear || !context.front) return {};
  return Run(kJobs[kind - 1], trigger, context);
}

bool FtpUpload(TJobTrigger trigger, const TJobContext& c) { return RunJob(jkFtpUpload, trigger, c).done; }
bool FtpDownload(TJobTrigger trigger, const TJobContext& c) { return RunJob(jkFtpDownload, trigger, c).done; }
bool FtpClear(TJobTrigger trigger, const TJobContext& c) { return RunJob(jkFtpClear, trigger, c).done; }
bool HttpUpload(TJobTrigger trigger, const TJobContext& c) { return RunJob(jkHttpUpload, trigger, c).done; }
bool HttpDownload(TJobTrigger trigger, const TJobContext& c) { return RunJob(jkHttpDownload, trigger, c).done; }
bool HttpClear(TJobTrigger trigger, const TJobContext& c) { return RunJob(jkHttpClear, trigger, c).done; }

}  // namespace n2
