// A downloaded archive read as unpacking reads it, in the users' code page
// (932): the end record searched for, the central directory read (or the
// local headers walked), each entry's name looked up and split for
// extraction, and every entry's data decoded. What must hold: a name finds
// its own entry or an earlier one of the same name (also as older packers
// spelt it, every byte 0x5C as "/"), a name split for
// extraction never leads outside the target folder, decoded data has the
// size and CRC-32 its entry declares, and a card's identity reads back as
// written.
#include <algorithm>
#include <string>

#include "base/code_page.h"
#include "fuzz/fuzz_support.h"
#include "zip/zip_archive.h"
#include "zip/zip_records.h"

namespace {

using namespace n2;

bool DotsAndBlanksOnly(std::string_view component) {
  return component.find_first_not_of(". ") == std::string_view::npos;
}

void CheckExtractPath(const std::string& stored, const LeadBytes& lead) {
  std::optional<ExtractPath> path = SafeExtractPath(stored, lead);
  if (!path) return;
  FUZZ_CHECK(FindChar(path->file, '\\', lead) == std::string::npos);
  FUZZ_CHECK(FindChar(path->file, '/', lead) == std::string::npos);
  const std::string full = path->folder + path->file;
  FUZZ_CHECK(FindChar(full, ':', lead) == std::string::npos);
  // These bytes are never the second byte of a character: wherever they
  // are, they are the reserved characters themselves.
  for (unsigned char c : full) FUZZ_CHECK(c >= 0x20 && std::string_view("/:*?\"<>").find(c) == std::string_view::npos);
  // Every component is a real name: no "..", no "." or blanks alone, no empty one.
  size_t start = 0;
  while (start < full.size()) {
    // start is a character boundary: searching from it keeps the loop linear.
    const size_t found = FindChar(std::string_view(full).substr(start), '\\', lead);
    const size_t end = found == std::string::npos ? std::string::npos : start + found;
    const std::string_view component =
        std::string_view(full).substr(start, end == std::string::npos ? std::string::npos : end - start);
    FUZZ_CHECK(!component.empty() && !DotsAndBlanksOnly(component));
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const LeadBytes& lead = LeadBytes::Cp932();
  MemoryStream stream(std::string(reinterpret_cast<const char*>(data), size));
  ZipArchive archive(lead);
  if (!archive.Read(stream)) {
    FUZZ_CHECK(archive.Entries().empty());
    return 0;
  }
  const auto& entries = archive.Entries();
  for (size_t i = 0; i < entries.size(); ++i) {
    const CentralRecord& c = entries[i].central;
    const int found = archive.FindEntry(c.name);
    FUZZ_CHECK(found >= 0 && static_cast<size_t>(found) <= i);
    // Older packers wrote every byte 0x5C of a name as "/", second bytes
    // too: spelt that way the name finds the same entry.
    std::string older = c.name;
    std::replace(older.begin(), older.end(), '\\', '/');
    FUZZ_CHECK(archive.FindEntry(older) == found);
    CheckExtractPath(c.name, lead);
    // An identity read from the extra field is written back as it was read.
    if (const std::optional<CardIdentity> identity = IdentityInExtraField(c.extra)) {
      const std::optional<CardIdentity> again = IdentityInExtraField(EncodeIdentityField(*identity, true));
      FUZZ_CHECK(again && *again == *identity && again->Text() == identity->Text());
    }
    try {
      std::optional<std::string> out = archive.ReadEntryData(i);
      if (!out) continue;  // no usable data: the entry is skipped
      FUZZ_CHECK(out->size() == c.uncompressed_size);
      FUZZ_CHECK(Crc32(*out) == c.crc);
    } catch (const Exception&) {
      // Refused or malformed: unpacking reports it and stops.
    }
  }
  return 0;
}
