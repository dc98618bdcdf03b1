// Names in code page 932 as the plug-in handles them: entry names from an
// archive (normalised, checked and split for extraction, compared without
// regard to case), local paths (the mask, relative names, folder texts, the
// settings file beside the module) and names in the records of the data
// folder. Checks that no operation cuts a double-byte character apart, that
// a name reads the same as older packers spelt it (every byte 0x5C as "/"),
// that an accepted extraction path stays below its target, and that the
// record escaping reads back the name it wrote.
#include <string>

#include "base/code_page.h"
#include "fuzz/fuzz_support.h"
#include "settings/file_name.h"
#include "state/record_text.h"
#include "zip/zip_records.h"

namespace {

const n2::LeadBytes& kLead = n2::LeadBytes::Cp932();

// Whether text holds c as a character of its own anywhere.
bool HoldsChar(std::string_view text, char c) { return n2::FindChar(text, c, kLead) != std::string_view::npos; }

// name as older packers stored it: every byte 0x5C written as "/", the
// second bytes of double-byte characters too.
std::string OlderSpelling(std::string_view name) {
  std::string out(name);
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

// The characters of a and b are the same but where a holds from as a
// character of its own and b holds to.
void CheckReplaced(std::string_view a, std::string_view b, char from, char to) {
  FUZZ_CHECK(a.size() == b.size());
  for (size_t i = 0; i < a.size(); i += kLead.CharLength(a, i)) {
    const size_t length = kLead.CharLength(a, i);
    FUZZ_CHECK(kLead.CharLength(b, i) == length);
    if (length == 1 && a[i] == from)
      FUZZ_CHECK(b[i] == to);
    else
      FUZZ_CHECK(a.substr(i, length) == b.substr(i, length));
  }
}

void CheckExtractPath(std::string_view name) {
  const std::optional<n2::ExtractPath> where = n2::SafeExtractPath(name, kLead);
  if (!where) return;
  const std::string path = where->folder + where->file;
  FUZZ_CHECK(!HoldsChar(path, '/') && !HoldsChar(path, ':'));
  // These bytes are never the second byte of a character: wherever they
  // are, they are the reserved characters themselves.
  for (unsigned char c : path) FUZZ_CHECK(c >= 0x20 && std::string_view("/:*?\"<>").find(c) == std::string_view::npos);
  FUZZ_CHECK(!HoldsChar(where->file, '\\'));
  FUZZ_CHECK(where->folder.empty() || n2::EndsWithChar(where->folder, '\\', kLead));
  // Every component is a name of its own: none empty, none of dots or blanks only.
  for (size_t start = 0; start < path.size();) {
    // start is a character boundary: searching from it keeps the loop linear.
    size_t end = n2::FindChar(std::string_view(path).substr(start), '\\', kLead);
    end = end == std::string::npos ? path.size() : start + end;
    const std::string_view component = std::string_view(path).substr(start, end - start);
    FUZZ_CHECK(!component.empty());
    FUZZ_CHECK(component.find_first_not_of(". ") != std::string_view::npos);
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);

  const std::string slashes = n2::ReplaceChar(name, '\\', '/', kLead);
  CheckReplaced(name, slashes, '\\', '/');
  const std::string normal = n2::NormalizeEntryName(name, kLead);
  FUZZ_CHECK(!HoldsChar(normal, '\\'));
  FUZZ_CHECK(n2::NormalizeEntryName(normal, kLead) == normal || n2::FindText(normal, "//", kLead) != std::string::npos ||
             n2::FindText(normal, ":/", kLead) != std::string::npos);
  FUZZ_CHECK(n2::IsNormalEntryName(name, kLead) == (normal == name));
  // A name reads the same however older packers spelt it, and is read with
  // every character whole: no lead byte is left before a "/".
  const std::string older = OlderSpelling(name);
  FUZZ_CHECK(n2::NormalizeEntryName(older, kLead) == normal);
  for (size_t i = 0; i + 1 < normal.size(); i += kLead.CharLength(normal, i))
    FUZZ_CHECK(!kLead.IsLead(normal[i]) || normal[i + 1] != '/');
  const std::optional<n2::ExtractPath> where = n2::SafeExtractPath(name, kLead),
                                       where_older = n2::SafeExtractPath(older, kLead);
  FUZZ_CHECK(where.has_value() == where_older.has_value());
  FUZZ_CHECK(!where || (where->folder == where_older->folder && where->file == where_older->file));

  const std::string folded = n2::FoldCase(name, kLead);
  FUZZ_CHECK(n2::FoldCase(folded, kLead) == folded);
  // No single-byte capital is left, and double-byte characters are untouched.
  for (size_t i = 0; i < name.size(); i += kLead.CharLength(name, i)) {
    if (kLead.CharLength(name, i) == 2)
      FUZZ_CHECK(folded.compare(i, 2, name, i, 2) == 0);
    else
      FUZZ_CHECK(folded[i] < 'A' || folded[i] > 'Z');
  }

  // Maps keyed by names compare them as their folded copies compare, and
  // names equal that way hash alike.
  const n2::CaseBlindEqual equal(kLead);
  const n2::CaseBlindHash hash(kLead);
  FUZZ_CHECK(equal(name, folded) && hash(name) == hash(folded));
  const std::string_view first = name.substr(0, name.size() / 2), second = name.substr(name.size() / 2);
  FUZZ_CHECK(equal(first, second) == (n2::FoldCase(first, kLead) == n2::FoldCase(second, kLead)));

  CheckExtractPath(name);

  if (name.find_first_of("*?") == std::string_view::npos) FUZZ_CHECK(n2::WildcardMatch(name, folded, kLead));
  FUZZ_CHECK(n2::WildcardMatch("*", name, kLead));
  // The packer's mask is taken by a shortcut: it matches as the same mask
  // worked through character by character.
  FUZZ_CHECK(n2::WildcardMatch("*.*", name, kLead) == n2::WildcardMatch("**.*", name, kLead));

  const std::string dir = n2::ExcludeTrailingSeparators(name, kLead);
  FUZZ_CHECK(!n2::EndsWithSeparator(dir, kLead));
  FUZZ_CHECK(name.substr(0, dir.size()) == dir);
  // A text that ends in half a character (a lead byte alone) is no path the
  // system hands over; a "\\" after it would complete that character.
  if (!dir.empty() && !kLead.IsLead(dir.back()))
    FUZZ_CHECK(n2::EndsWithChar(n2::IncludeTrailingBackslash(dir, kLead), '\\', kLead));

  FUZZ_CHECK(n2::ExtractFilePath(name, kLead) + n2::ExtractFileName(name, kLead) == name);
  const std::string ini = n2::ChangeFileExt(name, ".ini", kLead);
  FUZZ_CHECK(ini.size() >= 4 && ini.compare(ini.size() - 4, 4, ".ini") == 0);
  FUZZ_CHECK(n2::ExtractFilePath(ini, kLead) == n2::ExtractFilePath(name, kLead));
  const std::string root = std::string(name.substr(0, name.size() / 2));
  const std::string relative = n2::RelativeName(name, root, kLead);
  FUZZ_CHECK(name.size() >= relative.size() && name.substr(name.size() - relative.size()) == relative);

  const std::string escaped = n2::EscapeRecordName(name);
  for (unsigned char c : escaped) FUZZ_CHECK(c > 32 && c != 127);
  const std::optional<std::string> back = n2::UnescapeRecordName(escaped);
  FUZZ_CHECK(back && *back == name);
  return 0;
}
