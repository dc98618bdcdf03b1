// The line-oriented reader of the FTP control connection: it buffers what the
// server sends, cuts it into lines and tells which line ends a reply. It knows
// nothing of what the codes mean; the client judges them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace n2 {

class FtpReplyReader {
 public:
  static constexpr size_t kBufferSize = 4096;
  // One byte of the buffer always stays free, so at most this many are held.
  static constexpr size_t kMaxFill = kBufferSize - 1;

  // accept_lf: a line ends at LF alone; otherwise only at CR LF.
  explicit FtpReplyReader(bool accept_lf = true) : accept_lf_(accept_lf) {}

  void SetAcceptLf(bool accept_lf) noexcept {
    accept_lf_ = accept_lf;
    scanned_ = 0;
  }
  void Clear() noexcept { fill_ = scanned_ = 0; }
  size_t Fill() const noexcept { return fill_; }

  // Where the next read goes, and how many bytes it may bring.
  char* WritePointer() noexcept { return buffer_ + fill_; }
  size_t WriteSpace() const noexcept { return kMaxFill - fill_; }
  // Accounts for bytes placed at WritePointer().
  void Commit(size_t count) noexcept;
  // Copies bytes in (as much as fits); returns how many were taken.
  size_t Append(std::string_view bytes) noexcept;

  // Takes the next whole line, without its line end (all trailing CR and LF
  // removed); the rest moves to the start of the buffer. Empty when no whole
  // line is held.
  std::optional<std::string> NextLine();

  // The buffer is full and holds no line end: the line is longer than the
  // buffer and cannot be read.
  bool Overflowed() const noexcept;

 private:
  size_t FindLineEnd(size_t& end_length) const noexcept;

  bool accept_lf_;
  size_t fill_ = 0;
  // Bytes already searched for a line end without finding one: a long line
  // that arrives in small reads is searched once, not again at every read.
  mutable size_t scanned_ = 0;
  char buffer_[kBufferSize] = {};
};

// What a reply line says about its code.
struct FtpReplyLine {
  bool has_code = false;   // the line begins with a digit
  int code = 0;            // the number read from it
  bool continued = false;  // "-" follows the number: more lines belong to the reply
  // A line that ends a reply: it has a code not followed by "-".
  bool IsFinal() const noexcept { return has_code && !continued; }
};

// Reads the code of a reply line: leading blanks, tabs, CR and LF skipped,
// then an optional sign and the digits.
FtpReplyLine ParseReplyLine(std::string_view line) noexcept;

}  // namespace n2
