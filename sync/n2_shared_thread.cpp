#include "sync/n2_shared_thread.h"

#include <atomic>
#include <exception>
#include <memory>

#include "base/exception.h"
#include "plugin/sync_helper.h"

namespace n2 {

int32_t JobKind = 0;
bool Ready = false;
bool DelayedStart = false;
bool UploadPending = false;
bool UploadNeeded = false;

namespace {

// Written by tests before they start a worker, read by that worker.
std::atomic<DWORD> delayed_start_milliseconds{kDelayedStartMilliseconds};

}  // namespace

bool StartJob(const TJobContext& context, int32_t ftp_kind, int32_t http_kind, TJobTrigger trigger) {
  TSyncFrontEnd* front = context.front;
  if (!Ready || !front) return false;
  const TServerSettings settings = front->ServerSettings();
  if (settings.ftp) JobKind = ftp_kind;
  if (settings.http) JobKind = http_kind;
  if (trigger == TJobTrigger::kStartUp) DelayedStart = true;
  Ready = false;
  try {
    // The worker replaced here has run its JobFinished (Ready was true), so
    // waiting for its end in its destructor takes no time to speak of.
    front->KeepWorker(std::make_unique<TN2Thread>(context, trigger));
  } catch (...) {
    // No worker will ever run JobFinished: the dialog goes back to idle here.
    DelayedStart = false;
    JobFinished(front);
    throw;
  }
  return true;
}

void JobFinished(TSyncFrontEnd* front, bool upload_wanted, bool upload_needed) {
  Ready = true;
  if (upload_wanted) UploadPending = true;
  if (upload_needed) UploadNeeded = true;
  if (!front) return;
  front->ShowIdle();
  // Started later, not from here: the worker that runs this waits for it,
  // and starting a job replaces that worker.
  if (UploadNeeded || (UploadPending && front->UploadOnChange())) front->UploadDue();
}

void RunShutdownUpload(const TJobContext& context) {
  TSyncFrontEnd* front = context.front;
  if (!front || !Ready || !front->UploadOnShutdown()) return;
  Ready = false;
  try {
    const TServerSettings settings = front->ServerSettings();
    if (settings.ftp) FtpUpload(TJobTrigger::kShutdown, context);
    if (settings.http) HttpUpload(TJobTrigger::kShutdown, context);
  } catch (...) {
    Ready = true;
    front->ShowIdle();
    throw;
  }
  // The book is sent: what changed before is in it, and the host is going.
  UploadPending = false;
  UploadNeeded = false;
  Ready = true;
  front->ShowIdle();
}

TN2Thread::TN2Thread(TJobContext context, TJobTrigger trigger) : context_(std::move(context)), trigger_(trigger) {
  DWORD id = 0;
  handle_.Attach(::CreateThread(nullptr, 0, &TN2Thread::ThreadProc, this, 0, &id));
  if (!handle_) throw Exception("Cannot start the worker thread, error " + std::to_string(::GetLastError()));
}

TN2Thread::~TN2Thread() {
  if (handle_) ::WaitForSingleObject(handle_.Get(), INFINITE);
}

DWORD WINAPI TN2Thread::ThreadProc(LPVOID self) {
  static_cast<TN2Thread*>(self)->Execute();
  return 0;
}

void TN2Thread::Execute() {
  TJobOutcome outcome;
  try {
    if (DelayedStart) {
      ::Sleep(delayed_start_milliseconds.load());
      DelayedStart = false;
    }
    outcome = RunJob(JobKind, trigger_, context_);
  } catch (...) {
    // The jobs report their own errors; whatever still gets here must not
    // keep the dialog busy for ever.
  }
  try {
    RunOnMainThread([&] { JobFinished(context_.front, outcome.upload_wanted, outcome.upload_needed); });
  } catch (...) {
  }
}

void TN2Thread::SetDelayedStartMillisecondsForTesting(DWORD milliseconds) {
  delayed_start_milliseconds.store(milliseconds);
}

}  // namespace n2
