#include "sync/job_log.h"

#include <cstdio>

namespace n2 {
namespace {

// 1234567 as "1,234,567".
std::string Grouped(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// A box's text on one line: CR LF as " / ".
std::string OneLine(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') continue;
    if (text[i] == '\n') {
      if (i + 1 < text.size()) out += " / ";
      continue;
    }
    out += text[i];
  }
  return out;
}

const char* ResultText(TJobResult result) {
  switch (result) {
    case TJobResult::kDone: return "done";
    case TJobResult::kNothingNew: return "nothing new to send";
    case TJobResult::kNoBook: return "the server holds no address book";
    case TJobResult::kUnchanged: return "the server's book is the one agreed; nothing moved";
    case TJobResult::kNotAnArchive: return "the server's file is not a zip archive; nothing unpacked";
    case TJobResult::kPackFailed:
    case TJobResult::kExtractFailed:
    case TJobResult::kFailed: return "failed";
  }
  return "";
}

}  // namespace

std::string TJobLog::Lines(const LocalTime& when, const std::string& job, const std::string& started_by,
                           const TJobReport& report, const std::string& box) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", when.year, when.month, when.day, when.hour,
                when.minute, when.second);
  std::string line = std::string(stamp) + " " + job + " (" + started_by + "): " + ResultText(report.result);
  if (!box.empty()) line += " - " + OneLine(box);
  line += "; cards written " + Grouped(report.written) + ", kept " + Grouped(report.kept) + ", conflicts " +
          Grouped(report.conflicts);
  if (report.changed_meanwhile > 0) line += ", changed during the job " + Grouped(report.changed_meanwhile);
  if (!report.failures.empty()) line += ", not unpacked " + Grouped(report.failures.size());
  if (report.sent_again > 0)
    line += "; sent again after merging an upload that came meanwhile" +
            (report.sent_again == 1 ? std::string(" once") : " " + Grouped(report.sent_again) + " times");
  line += "; sent " + Grouped(report.bytes_sent) + " bytes, received " + Grouped(report.bytes_received) + " bytes";
  line += "\r\n";
  for (const std::string& name : report.conflict_names)
    line += "    conflict: " + name + " (the server's version is in " + report.conflict_folder + ")\r\n";
  for (const CardResult& failed : report.failures)
    line += "    not unpacked: " + failed.name + " (" + failed.error_kind + ": " + OneLine(failed.error) + ")\r\n";
  return line;
}

std::string TJobLog::ConflictText(const TJobReport& report) {
  if (report.conflicts == 0) return std::string();
  const size_t both = report.conflicts - report.conflicts_first_contact;
  const size_t first = report.conflicts_first_contact;
  auto cards = [](size_t n) { return std::to_string(n) + (n == 1 ? " card" : " cards"); };
  std::string text = "Norvel2 plug-in Velmora\r\n";
  if (both > 0)
    text += cards(both) + (both == 1 ? " was" : " were") +
            " changed both on this computer and on the server. The versions of this computer stay in the "
            "address book; the server's versions are saved in the folder below.\r\n";
  if (first > 0)
    text += cards(first) + " of this computer differed from the shared address book, which this computer met "
            "for the first time. The shared versions are in the address book now; the versions of this computer "
            "are saved in the folder below.\r\n";
  return text + report.conflict_folder;
}

void TJobLog::Append(TFileSystem& fs, const std::string& data_folder, const std::string& lines) noexcept {
  const std::string path = data_folder + FileName();
  try {
    const std::optional<FileStamp> stamp = fs.Stat(path);
    if (stamp && stamp->size + lines.size() > kLimit) {
      // Keep the newer half, from the start of a line.
      std::string kept = fs.ReadFile(path);
      size_t from = kept.size() > kLimit / 2 ? kept.size() - kLimit / 2 : 0;
      from = kept.find('\n', from);
      kept = from == std::string::npos ? std::string() : kept.substr(from + 1);
      kept += lines;
      const std::string temporary = path + ".tmp";
      fs.WriteFile(temporary, kept, kAttrNormal, false, false);
      fs.Rename(temporary, path, true);
      return;
    }
    fs.AppendFile(path, lines);
  } catch (const std::exception&) {
    // The job has ended; a log that cannot be written costs nothing else.
  }
}

}  // namespace n2
