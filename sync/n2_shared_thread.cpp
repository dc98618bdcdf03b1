#include "sync/n2_shared_thread.h"

#include <atomic>
#include <exception>
#include <memory>

#include "base/exception.h"
#include "plugin/sync_helper.h"
#include "sync/n2_shared_dm.h"

namespace n2 {

int32_t JobKind = 0;
bool Ready = false;
bool DelayedStart = false;

namespace {

// Written by tests before they start a worker, read by that worker.
std::atomic<DWORD> delayed_start_milliseconds{kDelayedStartMilliseconds};

TSyncFrontEnd* FrontEnd() { return DmN2 ? DmN2->FrontEnd : nullptr; }

}  // namespace

bool StartJob(int32_t ftp_kind, int32_t http_kind, TJobTrigger trigger) {
  TSyncFrontEnd* front = FrontEnd();
  if (!Ready || !front) return false;
  const TServerSettings settings = front->ServerSettings();
  if (settings.ftp) JobKind = ftp_kind;
  if (settings.http) JobKind = http_kind;
  if (trigger == TJobTrigger::kStartUp) DelayedStart = true;
  Ready = false;
  try {
    // The worker replaced here has run its JobFinished (Ready was true), so
    // waiting for its end in its destructor takes no time to speak of.
    front->KeepWorker(std::make_unique<TN2Thread>(trigger));
  } catch (...) {
    // No worker will ever run JobFinished: the dialog goes back to idle here.
    DelayedStart = false;
    JobFinished();
    throw;
  }
  return true;
}

void JobFinished(bool upload_wanted) {
  Ready = true;
  TSyncFrontEnd* front = FrontEnd();
  if (!front) return;
  front->ShowIdle();
  if (upload_wanted) DmN2->UploadPending = true;
  // Started from a timer tick, not from here: the worker that runs this
  // waits for it, and starting a job replaces that worker.
  if (DmN2->UploadPending && front->UploadOnChange()) DmN2->TimAfterJob.SetEnabled(true);
}

void RunShutdownUpload() {
  TSyncFrontEnd* front = FrontEnd();
  if (!front || !Ready || !front->UploadOnShutdown()) return;
  Ready = false;
  try {
    const TServerSettings settings = front->ServerSettings();
    if (settings.ftp) FtpUpload(TJobTrigger::kShutdown);
    if (settings.http) HttpUpload(TJobTrigger::kShutdown);
  } catch (...) {
    Ready = true;
    front->ShowIdle();
    throw;
  }
  // The book is sent: what changed before is in it, and the host is going.
  DmN2->UploadPending = false;
  Ready = true;
  front->ShowIdle();
}

TN2Thread::TN2Thread(TJobTrigger trigger) : trigger_(trigger) {
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
    outcome = RunJob(JobKind, trigger_);
  } catch (...) {
    // The jobs report their own errors; whatever still gets here must not
    // keep the dialog busy for ever.
  }
  try {
    RunOnMainThread([&] { JobFinished(outcome.upload_wanted); });
  } catch (...) {
  }
}

void TN2Thread::SetDelayedStartMillisecondsForTesting(DWORD milliseconds) {
  delayed_start_milliseconds.store(milliseconds);
}

}  // namespace n2
