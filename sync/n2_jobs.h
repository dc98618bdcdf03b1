// The six jobs at their edge: each builds the transport of its protocol over
// the data module's client, runs the sync engine, shows the box of whatever
// failed with its fixed text (the packing's, the unpacking's or the job's
// own), writes its line in the job log, and waits until the box is dismissed.
#pragma once

#include <cstdint>

namespace n2 {

// What started a job.
enum class TJobTrigger {
  kByHand,    // a button of the dialog: an upload sends whatever the book holds
  kChange,    // a change of the address book
  kTimer,     // the 10-minute timer
  kStartUp,   // the download 60 seconds after start
  kShutdown,  // the upload at shutdown
};

enum TJobKind : int32_t {
  jkFtpUpload = 1,
  jkFtpDownload = 2,
  jkFtpClear = 3,
  jkHttpUpload = 4,
  jkHttpDownload = 5,
  jkHttpClear = 6,
};

struct TJobOutcome {
  // The job ran to its last step.
  bool done = false;
  // A card changed while the job ran: an upload should follow.
  bool upload_wanted = false;
};

// Runs the job of kind on the calling thread; other kinds run nothing.
TJobOutcome RunJob(int32_t kind, TJobTrigger trigger);

bool FtpUpload(TJobTrigger trigger);
bool FtpDownload(TJobTrigger trigger);
bool FtpClear(TJobTrigger trigger);
bool HttpUpload(TJobTrigger trigger);
bool HttpDownload(TJobTrigger trigger);
bool HttpClear(TJobTrigger trigger);

}  // namespace n2
