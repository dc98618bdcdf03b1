// The worker that runs one transfer job at a time, and the values that
// coordinate the jobs between the main thread and the worker.
#pragma once

#include <cstdint>
#include <string>

namespace n2 {

class TVexZip;

// Job that the next worker runs: 1 FtpUpload, 2 FtpDownload, 3 FtpClear,
// 4 HttpUpload, 5 HttpDownload, 6 HttpClear; any other value runs no job.
extern int32_t JobKind;
// True while no job runs; written on the main thread only.
extern bool Ready;
// Set by the start-up download: the next worker waits 60 seconds first.
extern bool DelayedStart;

class TN2Thread {
 public:
  // Packs folder (the address-book folder) into ArchivePath(); shows the
  // "Compress Error" box and returns false when that fails.
  static bool PackAddressBook(TVexZip& zip, const std::string& folder);
  // Unpacks folder + "N2AddBook.zip" below folder (the data folder); shows the
  // "Extract Error" box when that fails.
  static void UnpackAddressBook(TVexZip& zip, const std::string& folder);
};

}  // namespace n2
