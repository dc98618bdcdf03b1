// The job log, N2VelmEn.log in the data folder: one line per job (when, which
// job and what started it, its result or the text of the box it showed, the
// cards written, kept and saved as conflicts, the bytes moved), followed by
// an indented line for each conflict copy and each card that could not be
// unpacked. Users, and whoever looks after an office's machines, read it when
// a card "came back" or "went missing". It is kept to its last few hundred
// kilobytes: once it passes kLimit, its oldest lines go.
#pragma once

#include <cstdint>
#include <string>

#include "base/byte_stream.h"
#include "base/file_system.h"
#include "sync/sync_engine.h"

namespace n2 {

class TJobLog {
 public:
  static constexpr uint64_t kLimit = 512u << 10;  // then cut to half of it
  static std::string FileName() { return "N2VelmEn.log"; }

  // The lines of one job: job is its name ("FtpUpload"), started_by what
  // started it ("by hand", "change", "timer", "start", "shutdown"), box the
  // text of the box the job showed (empty when none).
  static std::string Lines(const LocalTime& when, const std::string& job, const std::string& started_by,
                           const TJobReport& report, const std::string& box);

  // The text of the box that tells of a job's conflict copies, or empty when
  // it saved none: how many cards were changed both here and on the server,
  // which versions stay in the book, and the folder holding the others.
  static std::string ConflictText(const TJobReport& report);

  // Appends lines to the log of the data folder; best effort, as the job has
  // ended by then.
  static void Append(TFileSystem& fs, const std::string& data_folder, const std::string& lines) noexcept;
};

}  // namespace n2
