#include "net/ftp_reply_reader.h"

#include <algorithm>
#include <cstring>

namespace n2 {

void FtpReplyReader::Commit(size_t count) noexcept {
  fill_ = std::min(kMaxFill, fill_ + count);
}

size_t FtpReplyReader::Append(std::string_view bytes) noexcept {
  size_t count = std::min(bytes.size(), WriteSpace());
  std::memcpy(WritePointer(), bytes.data(), count);
  Commit(count);
  return count;
}

size_t FtpReplyReader::FindLineEnd(size_t& end_length) const noexcept {
  for (size_t i = scanned_; i < fill_; ++i) {
    if (buffer_[i] != '\n') continue;
    if (accept_lf_) {
      end_length = 1;
      return i;
    }
    if (i > 0 && buffer_[i - 1] == '\r') {
      end_length = 2;
      return i - 1;
    }
  }
  scanned_ = fill_;
  return std::string::npos;
}

std::optional<std::string> FtpReplyReader::NextLine() {
  size_t end_length = 0;
  size_t end = FindLineEnd(end_length);
  if (end == std::string::npos) return std::nullopt;
  size_t text_end = end;
  while (text_end > 0 && (buffer_[text_end - 1] == '\r' || buffer_[text_end - 1] == '\n')) --text_end;
  std::string line(buffer_, text_end);
  size_t consumed = end + end_length;
  std::memmove(buffer_, buffer_ + consumed, fill_ - consumed);
  fill_ -= consumed;
  scanned_ = 0;
  return line;
}

bool FtpReplyReader::Overflowed() const noexcept {
  size_t end_length = 0;
  return fill_ >= kMaxFill && FindLineEnd(end_length) == std::string::npos;
}

FtpReplyLine ParseReplyLine(std::string_view line) noexcept {
  FtpReplyLine result;
  if (line.empty() || line[0] < '0' || line[0] > '9') return result;
  size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n')) ++i;
  bool negative = false;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
  long value = 0;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
    if (value < 100000000) value = value * 10 + (line[i] - '0');
    ++i;
  }
  result.has_code = true;
  result.code = static_cast<int>(negative ? -value : value);
  result.continued = i < line.size() && line[i] == '-';
  return result;
}

}  // namespace n2
