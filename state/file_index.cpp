#include "state/file_index.h"

#include "state/record_text.h"

namespace n2 {
namespace {

constexpr std::string_view kHeader = "n2index 3";
// The form before identities: the same without the identity word.
constexpr std::string_view kEarlierHeader = "n2index 2";

}  // namespace

void FileIndex::Set(std::string name, const IndexedFile& file) { SetCaseBlind(files_, std::move(name), file); }

void FileIndex::Remove(std::string_view name) {
  if (auto it = files_.find(name); it != files_.end()) files_.erase(it);
}

const IndexedFile* FileIndex::Find(std::string_view name) const { return FindCaseBlind(files_, name); }

std::optional<uint32_t> FileIndex::TrustedCrc(std::string_view name, uint64_t size, uint64_t write_time) const {
  const IndexedFile* file = Find(name);
  if (!file || file->size != size || file->write_time != write_time) return std::nullopt;
  if (write_time + kTimeResolution >= taken_at_) return std::nullopt;
  return file->crc;
}

std::string FileIndex::Text() const {
  const ArchiveStamp packed = proven_archive_.value_or(ArchiveStamp{});
  std::string body = std::string(kHeader) + " " + std::to_string(taken_at_) + " " + std::to_string(packed.size) +
                     " " + std::to_string(packed.write_time) + "\n";
  // Numbers, an identity and a name that needs no escaping, and the seal:
  // most texts fit.
  size_t names = 0;
  for (const auto& [name, f] : files_) names += name.size();
  body.reserve(body.size() + files_.size() * 72 + names + 64);
  // Appended piece by piece: a record of thousands of lines is written at every pack.
  for (const auto& [name, f] : files_) {
    AppendRecordNumber(body, f.crc, 16);
    body += ' ';
    AppendRecordNumber(body, f.size);
    body += ' ';
    AppendRecordNumber(body, f.write_time);
    body += ' ';
    AppendRecordNumber(body, f.attributes, 16);
    body += ' ';
    if (f.identity)
      f.identity->AppendText(body);
    else
      body += '-';
    body += ' ';
    AppendRecordName(body, name);
    body += '\n';
  }
  return SealRecord(std::move(body), files_.size() + 1);
}

std::optional<FileIndex> FileIndex::Parse(std::string_view text, const LeadBytes& lead) {
  std::optional<std::string_view> body = OpenSealedRecord(text);
  if (!body) return std::nullopt;
  FileIndex index(lead);
  bool header = true, earlier = false;
  for (size_t start = 0; start < body->size();) {
    const size_t end = body->find('\n', start);
    const RecordWordList words = RecordWords(body->substr(start, end - start));
    start = end + 1;
    if (header) {
      ArchiveStamp packed;
      const std::string kind = words.size() >= 2 ? std::string(words[0]) + " " + std::string(words[1]) : "";
      earlier = kind == kEarlierHeader;
      if (words.size() != 5 || (kind != kHeader && !earlier) ||
          !RecordNumber(words[2], index.taken_at_) || !RecordNumber(words[3], packed.size) ||
          !RecordNumber(words[4], packed.write_time))
        return std::nullopt;
      if (packed.write_time != 0) index.proven_archive_ = packed;
      header = false;
      continue;
    }
    // crc size time attributes [identity] name
    IndexedFile f;
    std::optional<std::string> name;
    const size_t count = earlier ? 5 : 6;
    if (words.size() != count || !RecordNumber(words[0], f.crc, 16) || !RecordNumber(words[1], f.size) ||
        !RecordNumber(words[2], f.write_time) || !RecordNumber(words[3], f.attributes, 16) ||
        !(name = UnescapeRecordName(words[count - 1])) || name->empty())
      return std::nullopt;
    if (!earlier && words[4] != "-" && !(f.identity = CardIdentity::Parse(words[4]))) return std::nullopt;
    index.Set(std::move(*name), f);
  }
  if (header) return std::nullopt;
  return index;
}

}  // namespace n2
