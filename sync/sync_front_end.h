// What the jobs and their triggers need of the user interface: the live
// settings (the dialog's controls hold them, saved or not), the busy and idle
// looks, and a place for the last worker thread. The settings dialog provides
// it; the sync side knows nothing else of the dialog.
//
// Every method runs on the main thread, the dialog's; a worker reaches them
// through the owner thread of a transfer client.
#pragma once

#include <memory>
#include <string>

namespace n2 {

class TN2Thread;

// The connection settings as they stand in the dialog.
struct TServerSettings {
  bool ftp = false;   // "FTP" chosen
  bool http = false;  // "HTTP" chosen
  std::string server;  // host, or host:port
  std::string user;
  std::string password;
  std::string path;    // the folder on the server
  bool passive = false;
};

class TSyncFrontEnd {
 public:
  virtual ~TSyncFrontEnd() = default;

  virtual TServerSettings ServerSettings() = 0;
  // "Upload on Updates" and "Upload on Shutdown".
  virtual bool UploadOnChange() = 0;
  virtual bool UploadOnShutdown() = 0;
  // Controls disabled and both progress panels shown; and back.
  virtual void ShowBusy() = 0;
  virtual void ShowIdle() = 0;
  // Keeps the worker just started in place of the last one.
  virtual void KeepWorker(std::unique_ptr<TN2Thread> worker) = 0;
  // An upload is due once the job that just ended has let go: start it
  // shortly, from the message loop.
  virtual void UploadDue() = 0;
};

}  // namespace n2
