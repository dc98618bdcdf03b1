// The six jobs at their edge: each builds the transport of its protocol over
// the data module's client, runs the sync engine, shows the box of whatever
// failed with its fixed text (the packing's, the unpacking's or the job's
// own), writes its line in the job log, and waits until the box is dismissed.
#pragma once

#include <cstdint>
#include <string>

namespace n2 {

class TFileSystem;
class TFtpClient;
class THttpClient;
class TSyncFrontEnd;
class ThreadCache;

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

// What a job works with: the data module's file system and clients, the
// dialog's settings and looks, and the data folder.
struct TJobContext {
  TFileSystem* disk = nullptr;
  TFtpClient* ftp = nullptr;
  THttpClient* http = nullptr;
  TSyncFrontEnd* front = nullptr;
  std::string data_folder;
  // Kept for the work a job runs beside its own thread; null: threads of the
  // job's own.
  ThreadCache* threads = nullptr;
};

struct TJobOutcome {
  // The job ran to its last step.
  bool done = false;
  // A card changed while the job ran: an upload should follow when "Upload
  // on Updates" is on.
  bool upload_wanted = false;
  // The server holds a stale copy of a card: an upload must follow.
  bool upload_needed = false;
};

// Runs the job of kind on the calling thread; other kinds run nothing.
TJobOutcome RunJob(int32_t kind, TJobTrigger trigger, const TJobContext& context);

bool FtpUpload(TJobTrigger trigger, const TJobContext& context);
bool FtpDownload(TJobTrigger trigger, const TJobContext& context);
bool FtpClear(TJobTrigger trigger, const TJobContext& context);
bool HttpUpload(TJobTrigger trigger, const TJobContext& context);
bool HttpDownload(TJobTrigger trigger, const TJobContext& context);
bool HttpClear(TJobTrigger trigger, const TJobContext& context);

}  // namespace n2
