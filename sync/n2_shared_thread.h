// The worker that runs one transfer job at a time, and the values that
// coordinate the jobs between the main thread and the worker.
//
// Sharing: JobKind and Ready are written on the main thread only, and JobKind
// only while Ready is true, that is while no worker runs; the worker reads
// JobKind once, after its start-up delay. DelayedStart is set by the main
// thread before the worker exists and cleared by that worker. No lock is used.
#pragma once

#include <windows.h>

#include <cstdint>

#include "base/scoped_handle.h"
#include "sync/n2_jobs.h"
#include "sync/sync_front_end.h"

namespace n2 {

// Job that the next worker runs: 1 FtpUpload, 2 FtpDownload, 3 FtpClear,
// 4 HttpUpload, 5 HttpDownload, 6 HttpClear; any other value runs no job.
extern int32_t JobKind;
// True while no job runs; written on the main thread only.
extern bool Ready;
// Set by the start-up download: the next worker waits 60 seconds first.
extern bool DelayedStart;
// The address book changed while a job ran (the watcher reported it, or the
// job found a card saved meanwhile): an upload is due once no job runs, when
// "Upload on Updates" is on. UploadNeeded: one is due whatever the settings
// (a card of this installation must be sent again). Main thread only.
extern bool UploadPending;
extern bool UploadNeeded;

// The pause before a start-up download, in milliseconds.
inline constexpr DWORD kDelayedStartMilliseconds = 60000;

// Main thread: the start of every job. When Ready is true, selects JobKind
// from the dialog's FTP/HTTP choice (a kind of 0 keeps JobKind as it is),
// sets DelayedStart for the start-up download, clears Ready and keeps a new
// running worker as the dialog's Worker; returns true. When Ready is false,
// or there is no dialog, starts nothing and returns false.
bool StartJob(const TJobContext& context, int32_t ftp_kind, int32_t http_kind, TJobTrigger trigger);

// Main thread: the end of every job run by a worker. Sets Ready, enables the
// dialog's controls and hides both progress panels. When an upload is due
// (upload_wanted or UploadPending, with "Upload on Updates" checked, or
// upload_needed: the server holds a stale copy of a card), the dialog is told
// (TSyncFrontEnd::UploadDue), which starts it shortly.
void JobFinished(TSyncFrontEnd* front, bool upload_wanted = false, bool upload_needed = false);

// Main thread, at shutdown: when no job runs and "Upload on Shutdown" is
// checked, runs the upload job on the calling thread, with no worker, and
// returns when it has ended. The transfer clients wait by dispatching this
// thread's messages, so timer ticks, folder changes and the dialog's buttons
// can come in meanwhile: Ready is false for the upload's duration, so none of
// them starts a job, and the dialog's idle look comes back afterwards in case
// one of them showed the busy look. Ready is true again at the end.
void RunShutdownUpload(const TJobContext& context);

class TN2Thread {
 public:
  // Starts the thread at once; raises an error when the system cannot.
  TN2Thread(TJobContext context, TJobTrigger trigger);
  TN2Thread(const TN2Thread&) = delete;
  TN2Thread& operator=(const TN2Thread&) = delete;
  // Waits for the thread to end. The dialog replaces its worker only when
  // Ready is true again, by which time the thread has nothing left to do.
  ~TN2Thread();

  // True once the thread body has returned.
  bool Finished() const noexcept { return ::WaitForSingleObject(handle_.Get(), 0) == WAIT_OBJECT_0; }
  HANDLE Handle() const noexcept { return handle_.Get(); }

  // Tests only: the start-up delay that the next workers wait instead of
  // kDelayedStartMilliseconds. The product never calls it.
  static void SetDelayedStartMillisecondsForTesting(DWORD milliseconds);

 private:
  static DWORD WINAPI ThreadProc(LPVOID self);
  void Execute();

  const TJobContext context_;
  const TJobTrigger trigger_;
  ScopedHandle handle_;
};

}  // namespace n2
