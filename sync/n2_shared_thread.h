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
#include <optional>
#include <string>

#include "base/scoped_handle.h"

namespace n2 {

class TVexZip;
class TFtpClient;
class BookContent;

// Job that the next worker runs: 1 FtpUpload, 2 FtpDownload, 3 FtpClear,
// 4 HttpUpload, 5 HttpDownload, 6 HttpClear; any other value runs no job.
extern int32_t JobKind;
// True while no job runs; written on the main thread only.
extern bool Ready;
// Set by the start-up download: the next worker waits 60 seconds first.
extern bool DelayedStart;

enum TJobKind : int32_t {
  jkFtpUpload = 1,
  jkFtpDownload = 2,
  jkFtpClear = 3,
  jkHttpUpload = 4,
  jkHttpDownload = 5,
  jkHttpClear = 6,
};

// How a job was started: by the user (the dialog's buttons), or by a trigger
// (the 10-minute timer, a change of the address book, the start-up download,
// which waits first). An upload started by a trigger sends nothing when the
// book holds no news since the content last agreed with the server.
enum class TJobStart { jsByHand, jsAutomatic, jsDelayed };

// The pause before a start-up download, in milliseconds.
inline constexpr DWORD kDelayedStartMilliseconds = 60000;

// Main thread: the start of every job. When Ready is true, selects JobKind
// from the dialog's FTP/HTTP choice (a kind of 0 keeps JobKind as it is),
// sets DelayedStart for jsDelayed, clears Ready and stores a new running
// worker as the dialog's Worker; returns true. When Ready is false, or the
// dialog does not exist, starts nothing and returns false.
bool StartJob(int32_t ftp_kind, int32_t http_kind, TJobStart start);

// Main thread: the end of every job run by a worker. Sets Ready, enables the
// dialog's controls and hides both progress panels.
void JobFinished();

// Main thread, at shutdown: when no job runs and "Upload on Shutdown" is
// checked, runs the upload job on the calling thread, with no worker, and
// returns when it has ended. The transfer clients wait by dispatching this
// thread's messages, so timer ticks, folder changes and the dialog's buttons
// can come in meanwhile: Ready is false for the upload's duration, so none of
// them starts a job, and the dialog's idle look comes back afterwards in case
// one of them showed the busy look. Ready is true again at the end.
void RunShutdownUpload();

class TN2Thread {
 public:
  // Starts the thread at once; raises an error when the system cannot.
  explicit TN2Thread(bool by_hand);
  TN2Thread(const TN2Thread&) = delete;
  TN2Thread& operator=(const TN2Thread&) = delete;
  // Waits for the thread to end. The dialog replaces its worker only when
  // Ready is true again, by which time the thread has nothing left to do.
  ~TN2Thread();

  // True once the thread body has returned.
  bool Finished() const noexcept { return ::WaitForSingleObject(handle_.Get(), 0) == WAIT_OBJECT_0; }
  HANDLE Handle() const noexcept { return handle_.Get(); }

  // Runs the job that kind selects on the calling thread; other kinds run nothing.
  static void RunJob(int32_t kind, bool by_hand);

  // The jobs. Each reports its own errors in a message box, waits until it is
  // dismissed, and returns true when it ran to its last step. They use the
  // data module's components and read the dialog's controls as they go. An
  // upload not started by hand ends at once, sending nothing, when the book
  // holds nothing new since the content last agreed with the server.
  static bool FtpUpload(bool by_hand);
  static bool FtpDownload();
  static bool FtpClear();
  static bool HttpUpload(bool by_hand);
  static bool HttpDownload();
  static bool HttpClear();

  // Loads NetFtp's connection settings from the dialog, then runs operation;
  // transfers use local_file (by default the local archive). An error on the
  // way is shown in the "Ftp Error!" box and gives false.
  static bool RunFtpOperation(bool (TFtpClient::*operation)(), const std::string& local_file = {});

  // Packs folder (the address-book folder) into ArchivePath(), reusing what
  // is unchanged since the last pack or unpack; on success the packed book's
  // content goes to packed when given. Shows the "Compress Error" box and
  // returns false when that fails.
  static bool PackAddressBook(TVexZip& zip, const std::string& folder, BookContent* packed = nullptr);
  // Unpacks folder + "N2AddBook.zip" below folder (the data folder), leaving
  // files that already hold an entry's bytes alone and asking zip's decider
  // about the others; shows the "Extract Error" box and returns false when
  // that fails. fetched, when given, gets the content of the archive when it
  // is one (an empty file is an empty book), and nothing otherwise.
  static bool UnpackAddressBook(TVexZip& zip, const std::string& folder,
                                std::optional<BookContent>* fetched = nullptr);
  // The same for any archive, raising its errors instead of showing them.
  static void UnpackArchive(TVexZip& zip, const std::string& archive, const std::string& folder,
                            std::optional<BookContent>* fetched);

  // Tests only: the start-up delay that the next workers wait instead of
  // kDelayedStartMilliseconds. The product never calls it.
  static void SetDelayedStartMillisecondsForTesting(DWORD milliseconds);

 private:
  static DWORD WINAPI ThreadProc(LPVOID self);
  void Execute();

  bool by_hand_;
  ScopedHandle handle_;
};

}  // namespace n2
