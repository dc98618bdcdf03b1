// An HTTP response read as the client reads it: the header cut into lines
// from the receive buffer (a page beginning "<HTML>" or "<!DOCTYPE" has no
// header), the status line and the fields the client acts on, then the body
// by Content-Length, by the chunked coding or up to the close. The bytes
// arrive in pieces of varying size, and the server closes the connection
// after the last one. The outcome (status, header, body, how it ended) must
// not depend on the split.
//
// Input: byte 0 the request (bit 0: PUT, else GET; bit 1: HEAD), byte 1 the
// split seed, then the server's bytes.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "net/http_response_parser.h"

namespace {

using namespace n2;

constexpr size_t kMaxHeaderBytes = 1 << 20;

struct Outcome {
  int status = 0;
  std::string version, reason, location, transfer_encoding, content_type;
  int64_t content_length = -1;
  std::vector<std::string> headers, challenges;
  std::string body;
  bool relocation = false;
  std::string end;  // "complete", "failed: ...", or "closed"
  bool operator==(const Outcome&) const = default;
};

enum class Kind { kGet, kPut, kHead };

class Response {
 public:
  explicit Response(Kind kind) : kind_(kind) {}

  void Receive(std::string_view piece) {
    if (!out_.end.empty()) return;  // bytes after the end are dropped
    if (state_ == State::kHeader) {
      reader_.Append(piece.data(), piece.size());
      HeaderBytes();
    } else {
      BodyBytes(piece.data(), piece.size());
    }
  }

  Outcome Close() {
    if (out_.end.empty()) {
      if (state_ == State::kHeader) {
        out_.end = out_.relocation ? "relocate" : "failed: closed within the header";
      } else if (out_.content_length == -1 && out_.transfer_encoding != "chunked") {
        out_.end = "complete";
      } else {
        out_.end = "failed: closed within the body";
      }
    }
    return out_;
  }

 private:
  enum class State { kHeader, kBody };

  void Fail(const std::string& reason) { out_.end = "failed: " + reason; }

  void HeaderBytes() {
    while (state_ == State::kHeader && out_.end.empty()) {
      const std::string_view rest = reader_.Rest();
      if (first_line_ && !rest.empty() && rest.front() == '<') {
        if (rest.size() < 9 && rest.find('\n') == std::string_view::npos) return;  // not enough to tell yet
        if (IsHeaderlessHtml(rest.substr(0, std::min(rest.size(), rest.find('\n'))))) {
          if (out_.content_type.empty()) out_.content_type = "text/html";
          first_line_ = false;
          state_ = State::kBody;
          break;
        }
      }
      std::optional<std::string> line = reader_.NextLine();
      if (!line) {
        if (reader_.Overlong()) Fail("header line too long");
        return;
      }
      FUZZ_CHECK(line->find('\n') == std::string::npos);
      header_bytes_ += line->size() + 1;
      if (header_bytes_ > kMaxHeaderBytes) return Fail("header too large");
      HeaderLine(*line);
    }
    if (state_ == State::kBody && out_.end.empty() && reader_.RestSize() > 0) {
      const std::string rest(reader_.Rest());
      const size_t taken = BodyBytes(rest.data(), rest.size());
      FUZZ_CHECK(taken <= rest.size());
      reader_.Consume(taken);
    }
  }

  void HeaderLine(const std::string& line) {
    if (line.empty()) return HeaderEnd();
    out_.headers.push_back(line);
    if (first_line_) {
      first_line_ = false;
      if (auto status = ParseHttpStatusLine(line)) {
        FUZZ_CHECK(status->version == "1.0" || status->version == "1.1");
        FUZZ_CHECK(status->code >= 0 && status->code <= 999);
        out_.version = status->version;
        out_.status = status->code;
        out_.reason = status->reason;
      }
      return;
    }
    auto field = ParseHttpHeaderField(line);
    if (!field) return;
    if (field->name == "location") {
      if (kind_ == Kind::kPut) {
        out_.location = field->value;
      } else {
        out_.relocation = true;
      }
    } else if (field->name == "content-length") {
      out_.content_length = ParseHttpContentLength(field->value);
      FUZZ_CHECK(out_.content_length >= -1);
    } else if (field->name == "transfer-encoding") {
      out_.transfer_encoding = HttpTrimLower(field->value);
    } else if (field->name == "content-type") {
      out_.content_type = HttpTrimLower(field->value);
    } else if (field->name == "www-authenticate" || field->name == "proxy-authenticate") {
      out_.challenges.push_back(field->value);
    }
  }

  void HeaderEnd() {
    if (out_.version == "1.1" && out_.status == 100) {
      out_.headers.clear();
      first_line_ = true;
      out_.status = 0;
      return;
    }
    const int s = out_.status;
    const bool chunked = out_.transfer_encoding == "chunked";
    const bool no_body_status = s < 200 || s == 204 || s == 301 || s == 302 || s == 304 || s == 401 || s == 407;
    if ((out_.content_length == -1 && !chunked && no_body_status) || out_.content_length == 0 || kind_ == Kind::kHead) {
      out_.end = out_.relocation ? "relocate" : "complete";
      return;
    }
    state_ = State::kBody;
  }

  size_t BodyBytes(const char* data, size_t size) {
    if (out_.transfer_encoding == "chunked") {
      const size_t taken = chunked_.Feed(data, size, [this](const char* p, size_t n) {
        FUZZ_CHECK(n > 0);
        out_.body.append(p, n);
      });
      FUZZ_CHECK(taken <= size);
      if (chunked_.Failed()) {
        Fail("malformed chunked body");
      } else if (chunked_.Done()) {
        out_.end = out_.relocation ? "relocate" : "complete";
      } else {
        FUZZ_CHECK(taken == size);  // an unfinished body takes everything offered
      }
      return taken;
    }
    size_t take = size;
    if (out_.content_length >= 0)
      take = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(size),
                                                   out_.content_length - static_cast<int64_t>(out_.body.size())));
    out_.body.append(data, take);
    if (out_.content_length >= 0 && static_cast<int64_t>(out_.body.size()) == out_.content_length)
      out_.end = out_.relocation ? "relocate" : "complete";
    return take;
  }

  Kind kind_;
  State state_ = State::kHeader;
  HttpLineReader reader_;
  HttpChunkedDecoder chunked_;
  bool first_line_ = true;
  size_t header_bytes_ = 0;
  Outcome out_;
};

Outcome Read(std::string_view bytes, Kind kind, uint32_t seed) {
  Response response(kind);
  for (std::string_view piece : fuzz::Split(bytes, seed)) response.Receive(piece);
  return response.Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const Kind kind = (data[0] & 2) ? Kind::kHead : (data[0] & 1) ? Kind::kPut : Kind::kGet;
  const uint32_t seed = data[1];
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  const Outcome whole = Read(bytes, kind, 0);
  if (whole.content_length >= 0 && whole.transfer_encoding != "chunked" && whole.end == "complete")
    FUZZ_CHECK(static_cast<int64_t>(whole.body.size()) == whole.content_length || whole.body.empty());
  FUZZ_CHECK(Read(bytes, kind, seed) == whole);
  if (bytes.size() < 1024) FUZZ_CHECK(Read(bytes, kind, 1) == whole);
  return 0;
}
