// Small helpers for Windows path texts ("\" or "/" separate folders, a drive
// ends with ":"), free of the Windows API so that they build everywhere.
#pragma once

#include <string>
#include <string_view>

#include "base/code_page.h"

namespace n2 {

// Text without the characters of code 0 to 32 at either end.
inline std::string_view TrimControls(std::string_view text) noexcept {
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= 32) ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
  return text.substr(begin, end - begin);
}

// Path texts are in the system's code page: lead tells which bytes begin a
// double-byte character, whose second byte may equal "\\" or "/".

// Position just after the last separator of the folder part (0 when there is none).
inline size_t FileNameStart(std::string_view path, const LeadBytes& lead) {
  size_t last = FindLastOf(path, "\\/:", lead);
  return last == std::string_view::npos ? 0 : last + 1;
}

// The folder part of path, with its trailing separator ("" for a bare name).
inline std::string ExtractFilePath(std::string_view path, const LeadBytes& lead) {
  return std::string(path.substr(0, FileNameStart(path, lead)));
}

// The file-name part of path.
inline std::string ExtractFileName(std::string_view path, const LeadBytes& lead) {
  return std::string(path.substr(FileNameStart(path, lead)));
}

// The folder part of path without its trailing separator, kept for a root ("C:\\").
inline std::string ExtractFileDir(std::string_view path, const LeadBytes& lead) {
  const std::string folder = ExtractFilePath(path, lead);
  if (!EndsWithSeparator(folder, lead)) return folder;
  const std::string dir = folder.substr(0, folder.size() - 1);
  if (dir.empty() || EndsWithChar(dir, ':', lead) || EndsWithSeparator(dir, lead)) return folder;
  return dir;
}

// path with the text from the last "." of its file-name part replaced by
// extension, or extension appended when the name has no ".".
inline std::string ChangeFileExt(std::string_view path, std::string_view extension, const LeadBytes& lead) {
  const size_t start = FileNameStart(path, lead);
  const size_t dot = FindLastOf(path.substr(start), ".", lead);
  std::string result(path.substr(0, dot != std::string_view::npos ? start + dot : path.size()));
  result += extension;
  return result;
}

}  // namespace n2
