// Small helpers for Windows path texts ("\" or "/" separate folders, a drive
// ends with ":"), free of the Windows API so that they build everywhere.
#pragma once

#include <string>
#include <string_view>

namespace n2 {

// Text without the characters of code 0 to 32 at either end.
inline std::string_view TrimControls(std::string_view text) noexcept {
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= 32) ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
  return text.substr(begin, end - begin);
}

// Position just after the last separator of the folder part (0 when there is none).
inline size_t FileNameStart(std::string_view path) noexcept {
  size_t last = path.find_last_of("\\/:");
  return last == std::string_view::npos ? 0 : last + 1;
}

// The folder part of path, with its trailing separator ("" for a bare name).
inline std::string ExtractFilePath(std::string_view path) { return std::string(path.substr(0, FileNameStart(path))); }

// The file-name part of path.
inline std::string ExtractFileName(std::string_view path) { return std::string(path.substr(FileNameStart(path))); }

// The folder part of path without its trailing separator, kept for a root ("C:\").
inline std::string ExtractFileDir(std::string_view path) {
  size_t start = FileNameStart(path);
  if (start > 0 && (path[start - 1] == '\\' || path[start - 1] == '/') && start > 1 && path[start - 2] != ':' &&
      path[start - 2] != '\\' && path[start - 2] != '/')
    --start;
  return std::string(path.substr(0, start));
}

// path with the text from the last "." of its file-name part replaced by
// extension, or extension appended when the name has no ".".
inline std::string ChangeFileExt(std::string_view path, std::string_view extension) {
  size_t start = FileNameStart(path);
  size_t dot = path.find_last_of('.');
  std::string result(path.substr(0, (dot != std::string_view::npos && dot >= start) ? dot : path.size()));
  result += extension;
  return result;
}

// folder with a "\" added unless it is empty or already ends with a separator.
inline std::string IncludeTrailingBackslash(std::string_view folder) {
  std::string result(folder);
  if (!result.empty() && result.back() != '\\' && result.back() != '/') result += '\\';
  return result;
}

}  // namespace n2
