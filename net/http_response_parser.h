// The pieces of an HTTP response that the client reads byte by byte: header
// lines cut from a receive buffer, the status line, header fields, and the
// chunked transfer coding. Each knows nothing of the client's state.
// Portable: no Windows headers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace n2 {

// Cuts lines at LF out of buffer, from offset on; a CR just before the LF is
// dropped. A line without its LF stays for later.
class HttpLineReader {
 public:
  // Longest line accepted, LF included.
  static constexpr size_t kMaxLine = 65536;

  // Adds received bytes.
  void Append(const char* data, size_t size) { buffer_.append(data, size); }
  // The next whole line, or nothing when none is complete yet or the next
  // line is longer than kMaxLine (then Overlong() tells).
  std::optional<std::string> NextLine();
  // True when the next line, or the bytes waiting without an LF, exceed
  // kMaxLine: however the bytes arrived, such a line is never taken.
  bool Overlong() const noexcept { return buffer_.size() - offset_ > kMaxLine; }
  // The bytes not yet taken as lines (for a body that follows the header).
  std::string_view Rest() const noexcept { return std::string_view(buffer_).substr(offset_); }
  size_t RestSize() const noexcept { return buffer_.size() - offset_; }
  // Drops the first count bytes of Rest().
  void Consume(size_t count);
  void Clear() noexcept {
    buffer_.clear();
    offset_ = 0;
  }

 private:
  void Compact();
  std::string buffer_;
  size_t offset_ = 0;
};

struct HttpStatusLine {
  std::string version;  // "1.0" or "1.1"
  int code = 0;
  std::string reason;
};

// A status line begins with "HTTP/1.0" or "HTTP/1.1" (exact case); the code is
// the three characters at the first digit from the tenth character on, and the
// reason phrase starts four characters after that digit. Nothing for any
// other line.
std::optional<HttpStatusLine> ParseHttpStatusLine(std::string_view line);

// A response that starts with "<HTML>" or "<!DOCTYPE" (any case) has no header.
bool IsHeaderlessHtml(std::string_view first_line);

struct HttpHeaderField {
  std::string name;   // lower case
  std::string value;  // leading blanks skipped
};

// "Name: value"; nothing for a line without ":".
std::optional<HttpHeaderField> ParseHttpHeaderField(std::string_view line);

// A Content-Length value, trimmed: its decimal value, or -1 when it is not a
// non-negative decimal integer (or too large to be one).
std::int64_t ParseHttpContentLength(std::string_view value);

// Blanks trimmed from both ends and lower-cased.
std::string HttpTrimLower(std::string_view value);

// The value of the parameter name (any case) of one authentication challenge,
// such as charset of `Basic realm="office", charset="UTF-8"`: a quoted value
// unquoted (a backslash takes the next character as it is), a token as it
// stands. Nothing when the challenge has no such parameter; the parameters
// end where a token without "=" begins the next challenge.
std::optional<std::string> HttpChallengeParam(std::string_view challenge, std::string_view name);

// Decodes the chunked transfer coding: a hexadecimal length, the rest of its
// line skipped (extensions, CR), that many data bytes, then CR LF (or LF); a
// chunk of length 0 ends the body after the next line (the empty line, or a
// first trailer line). A length line that does not begin with a hexadecimal
// digit, and anything but the line end after a chunk's data, make the body
// malformed: decoding fails instead of taking it as the end.
class HttpChunkedDecoder {
 public:
  // Chunk lengths of more hexadecimal digits than this are refused.
  static constexpr int kMaxLengthDigits = 12;

  // Takes bytes from data until the body ends. Data bytes are passed to sink
  // as (pointer, count) runs. Returns how many bytes were taken.
  template <class Sink>
  size_t Feed(const char* data, size_t size, Sink&& sink);
  bool Done() const noexcept { return state_ == State::kDone; }
  // The body is malformed (see above); nothing more is taken.
  bool Failed() const noexcept { return state_ == State::kFailed; }

 private:
  enum class State { kLength, kSkipLengthLine, kData, kDataCr, kDataLf, kLastLine, kDone, kFailed };
  State state_ = State::kLength;
  std::uint64_t length_ = 0;
  int digits_ = 0;
  bool last_chunk_ = false;
};

template <class Sink>
size_t HttpChunkedDecoder::Feed(const char* data, size_t size, Sink&& sink) {
  size_t i = 0;
  while (i < size) {
    switch (state_) {
      case State::kLength: {
        const char c = data[i];
        int digit = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                                      : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
        if (digit < 0) {
          if (digits_ == 0) {  // an empty line or text where the length belongs
            state_ = State::kFailed;
            return i;
          }
          last_chunk_ = length_ == 0;
          state_ = State::kSkipLengthLine;
          break;  // this character is skipped with the rest of the line
        }
        if (++digits_ > kMaxLengthDigits) {
          state_ = State::kFailed;
          return i;
        }
        length_ = length_ * 16 + static_cast<unsigned>(digit);
        ++i;
        break;
      }
      case State::kSkipLengthLine:
        if (data[i++] == '\n') state_ = last_chunk_ ? State::kLastLine : State::kData;
        break;
      case State::kData: {
        size_t count = static_cast<size_t>(std::min<std::uint64_t>(length_, size - i));
        if (count > 0) sink(data + i, count);
        i += count;
        length_ -= count;
        if (length_ == 0) state_ = State::kDataCr;
        break;
      }
      case State::kDataCr:
      case State::kDataLf:
        // The chunk's data ends exactly at its line end.
        if (data[i] == '\r' && state_ == State::kDataCr) {
          state_ = State::kDataLf;
          ++i;
        } else if (data[i] == '\n') {
          state_ = State::kLength;
          length_ = 0;
          digits_ = 0;
          ++i;
        } else {
          state_ = State::kFailed;
          return i;
        }
        break;
      case State::kLastLine:
        if (data[i++] == '\n') {
          state_ = State::kDone;
          return i;
        }
        break;
      case State::kDone:
      case State::kFailed:
        return i;
    }
  }
  return i;
}

}  // namespace n2
