// What an FTP server sends on the control connection, read as the client
// reads it: received in pieces of varying size into the 4096-byte reply
// buffer, cut into lines, each line's code read, a reply ended by its first
// line with a code not followed by "-", the data port taken from a 227
// reply, and the values of 213 replies (SIZE, MDTM) and of FEAT's lines.
// The replies must not depend on how the bytes were split.
//
// Input: byte 0 options (bit 0: a line may end at LF alone), byte 1 the split
// seed, then the server's bytes.
#include <string>

#include "fuzz/fuzz_support.h"
#include "net/ftp_data_address.h"
#include "net/ftp_reply_reader.h"
#include "net/ftp_reply_values.h"

namespace {

using n2::FtpReplyReader;

// What the client saw, as a running hash of every line with its meaning.
struct Transcript {
  uint64_t hash = 14695981039346656037u;
  size_t lines = 0;
  bool overflowed = false;
  bool operator==(const Transcript&) const = default;

  void Add(char kind, std::string_view text) {
    hash = (hash ^ static_cast<unsigned char>(kind)) * 1099511628211u;
    for (char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
    hash = (hash ^ 0x100u) * 1099511628211u;  // end of the event
    ++lines;
  }
};

void TakeLine(const std::string& line, Transcript& out) {
  FUZZ_CHECK(line.size() < FtpReplyReader::kMaxFill);
  FUZZ_CHECK(line.empty() || (line.back() != '\r' && line.back() != '\n'));
  const n2::FtpReplyLine parsed = n2::ParseReplyLine(line);
  FUZZ_CHECK(parsed.has_code == (!line.empty() && line[0] >= '0' && line[0] <= '9'));
  if (!parsed.IsFinal()) {
    out.Add('l', line);
    return;
  }
  out.Add('r', std::to_string(parsed.code));
  out.Add('t', line);
  if (parsed.code == 213) {
    // A size or time read back from the text the client would show reads the same.
    if (auto size = n2::ParseSizeReply(line)) {
      FUZZ_CHECK(*size >= 0 && n2::ParseSizeReply("213 " + std::to_string(*size)) == size);
      out.Add('s', std::to_string(*size));
    }
    if (auto time = n2::ParseMdtmReply(line)) {
      FUZZ_CHECK(time->size() >= 14 && n2::ParseMdtmReply("213 " + *time) == time);
      out.Add('m', *time);
    }
    return;
  }
  if (parsed.code != 227) return;
  // Passive mode: the data connection goes to the server's own address at
  // the port that the reply names.
  if (auto target = n2::ParsePasvReply(line)) {
    const std::string again = "227 (" + target->address + "," + std::to_string(target->port / 256) + "," +
                              std::to_string(target->port % 256) + ")";
    std::string commas = again;
    for (char& c : commas) c = c == '.' ? ',' : c;
    auto reread = n2::ParsePasvReply(commas);
    FUZZ_CHECK(reread && reread->address == target->address && reread->port == target->port);
    out.Add('p', std::to_string(target->port));
  } else {
    out.Add('n', "");
  }
}

Transcript Read(std::string_view bytes, bool accept_lf, uint32_t seed) {
  FtpReplyReader reader(accept_lf);
  Transcript out;
  for (std::string_view piece : n2::fuzz::Split(bytes, seed)) {
    // A piece larger than the free space stays in the socket for the next read.
    while (!piece.empty()) {
      const size_t taken = reader.Append(piece);
      FUZZ_CHECK(taken > 0);
      piece.remove_prefix(taken);
      while (auto line = reader.NextLine()) TakeLine(*line, out);
      if (reader.Overflowed()) {
        // The client fails the request and closes the connection here.
        out.overflowed = true;
        return out;
      }
      FUZZ_CHECK(reader.WriteSpace() > 0);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool accept_lf = data[0] & 1;
  const uint32_t seed = data[1];
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  const Transcript whole = Read(bytes, accept_lf, 0);
  FUZZ_CHECK(Read(bytes, accept_lf, seed) == whole);
  if (bytes.size() < 1024) FUZZ_CHECK(Read(bytes, accept_lf, 1) == whole);
  // FEAT: every feature is part of one line, trimmed.
  for (const std::string& feature : n2::ParseFeatReply(bytes)) {
    FUZZ_CHECK(!feature.empty() && feature.find('\n') == std::string::npos);
    FUZZ_CHECK(feature.front() != ' ' && feature.front() != '\t' && feature.back() != ' ' && feature.back() != '\t');
  }
  return 0;
}
