#include "zip/file_index.h"

#include <charconv>
#include <vector>

#include "zip/zip_records.h"

namespace n2 {
namespace {

constexpr std::string_view kHeader = "n2index 1";

// The words of a line separated by single blanks.
std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  for (size_t start = 0; start <= line.size();) {
    size_t blank = line.find(' ', start);
    if (blank == std::string_view::npos) blank = line.size();
    words.push_back(line.substr(start, blank - start));
    start = blank + 1;
  }
  return words;
}

template <class T>
bool Number(std::string_view word, T& value, int base = 10) {
  if (word.empty()) return false;
  auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, base);
  return error == std::errc() && end == word.data() + word.size();
}

std::string Hex(uint32_t value) {
  char buffer[9];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, 16);
  (void)error;
  return std::string(buffer, end);
}

}  // namespace

std::string EscapeRecordName(std::string_view name) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if (c <= 32 || c == '%' || c == 127) {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::optional<std::string> UnescapeRecordName(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    uint8_t value = 0;
    if (i + 2 >= text.size() || !Number(text.substr(i + 1, 2), value, 16)) return std::nullopt;
    out += static_cast<char>(value);
    i += 2;
  }
  return out;
}

std::string SealRecord(std::string body, size_t lines) {
  const uint32_t crc = Crc32(body);
  body += "end " + std::to_string(lines) + " " + Hex(crc) + "\n";
  return body;
}

std::optional<std::string_view> OpenSealedRecord(std::string_view text) {
  if (text.empty() || text.back() != '\n') return std::nullopt;
  const size_t seal = text.rfind('\n', text.size() - 2);
  const size_t seal_start = seal == std::string_view::npos ? 0 : seal + 1;
  const std::string_view body = text.substr(0, seal_start);
  const std::vector<std::string_view> words = Words(text.substr(seal_start, text.size() - 1 - seal_start));
  size_t lines = 0;
  uint32_t crc = 0;
  if (words.size() != 3 || words[0] != "end" || !Number(words[1], lines) || !Number(words[2], crc, 16))
    return std::nullopt;
  size_t counted = 0;
  for (char c : body) counted += c == '\n';
  if (counted != lines || Crc32(body) != crc) return std::nullopt;
  return body;
}

std::string FileIndex::Key(std::string_view name) const { return FoldCase(name, *lead_); }

void FileIndex::Set(std::string_view name, const IndexedFile& file) {
  files_[Key(name)] = Named{std::string(name), file};
}

void FileIndex::Remove(std::string_view name) { files_.erase(Key(name)); }

const IndexedFile* FileIndex::Find(std::string_view name) const {
  auto it = files_.find(Key(name));
  return it == files_.end() ? nullptr : &it->second.file;
}

std::optional<uint32_t> FileIndex::TrustedCrc(std::string_view name, uint64_t size, uint64_t write_time) const {
  const IndexedFile* file = Find(name);
  if (!file || file->size != size || file->write_time != write_time) return std::nullopt;
  if (write_time + kTimeResolution >= taken_at_) return std::nullopt;
  return file->crc;
}

std::string FileIndex::Text() const {
  std::string body = std::string(kHeader) + " " + std::to_string(taken_at_) + "\n";
  for (const auto& [key, named] : files_) {
    const IndexedFile& f = named.file;
    body += Hex(f.crc) + " " + std::to_string(f.size) + " " + std::to_string(f.write_time) + " " +
            Hex(f.attributes) + " " + EscapeRecordName(named.name) + "\n";
  }
  return SealRecord(std::move(body), files_.size() + 1);
}

std::optional<FileIndex> FileIndex::Parse(std::string_view text, const LeadBytes& lead) {
  std::optional<std::string_view> body = OpenSealedRecord(text);
  if (!body) return std::nullopt;
  FileIndex index(lead);
  bool header = true;
  for (size_t start = 0; start < body->size();) {
    const size_t end = body->find('\n', start);
    const std::vector<std::string_view> words = Words(body->substr(start, end - start));
    start = end + 1;
    if (header) {
      if (words.size() != 3 || std::string(words[0]) + " " + std::string(words[1]) != kHeader ||
          !Number(words[2], index.taken_at_))
        return std::nullopt;
      header = false;
      continue;
    }
    IndexedFile f;
    std::optional<std::string> name;
    if (words.size() != 5 || !Number(words[0], f.crc, 16) || !Number(words[1], f.size) ||
        !Number(words[2], f.write_time) || !Number(words[3], f.attributes, 16) ||
        !(name = UnescapeRecordName(words[4])) || name->empty())
      return std::nullopt;
    index.Set(*name, f);
  }
  if (header) return std::nullopt;
  return index;
}

}  // namespace n2
