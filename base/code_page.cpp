#include "base/code_page.h"

#include <cstdint>
#include <cstring>

namespace n2 {

const LeadBytes& LeadBytes::Cp932() {
  static const LeadBytes bytes =
      From([](unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); });
  return bytes;
}

size_t FindChar(std::string_view text, char c, const LeadBytes& lead, size_t from) {
  for (size_t i = 0; i < text.size(); i += lead.CharLength(text, i))
    if (i >= from && text[i] == c) return i;
  return std::string_view::npos;
}

size_t FindText(std::string_view text, std::string_view needle, const LeadBytes& lead) {
  if (text.find(needle) == std::string_view::npos) return std::string_view::npos;  // most texts: at no byte at all
  for (size_t i = 0; i < text.size(); i += lead.CharLength(text, i))
    if (text.substr(i, needle.size()) == needle) return i;
  return std::string_view::npos;
}

size_t FindLastOf(std::string_view text, std::string_view chars, const LeadBytes& lead) {
  size_t found = std::string_view::npos;
  for (size_t i = 0; i < text.size(); i += lead.CharLength(text, i)) {
    const size_t length = lead.CharLength(text, i);
    if (length == 1 && chars.find(text[i]) != std::string_view::npos) found = i;
  }
  return found;
}

bool EndsWithChar(std::string_view text, char c, const LeadBytes& lead) {
  size_t last = std::string_view::npos;
  for (size_t i = 0; i < text.size(); i += lead.CharLength(text, i)) last = i;
  return last != std::string_view::npos && last + 1 == text.size() && text[last] == c;
}

std::string ReplaceChar(std::string_view text, char from, char to, const LeadBytes& lead) {
  std::string out(text);
  ReplaceCharInPlace(out, from, to, lead);
  return out;
}

void ReplaceCharInPlace(std::string& text, char from, char to, const LeadBytes& lead) {
  for (size_t i = 0; i < text.size(); i += lead.CharLength(text, i))
    if (text[i] == from && lead.CharLength(text, i) == 1) text[i] = to;
}

std::string FoldCase(std::string_view text, const LeadBytes& lead) {
  std::string out(text);
  for (size_t i = 0; i < out.size(); i += lead.CharLength(out, i)) out[i] = FoldLetter(out[i]);
  return out;
}

size_t CaseBlindHash::operator()(std::string_view text) const noexcept {
  // Every name of a book is hashed a dozen times a job: four bytes at a time
  // where they are four single-byte characters (none has its top bit set, so
  // none leads a double-byte character, and the byte before them ended a
  // character), folded at once; byte by byte elsewhere. Texts that compare
  // equal split into the same steps, so they hash alike.
  const auto mix = [](uint32_t hash, uint32_t value) { return ((hash << 5 | hash >> 27) ^ value) * 0x9E3779B1u; };
  uint32_t hash = static_cast<uint32_t>(text.size());
  const char* p = text.data();
  for (size_t i = 0; i < text.size();) {
    if (i + 4 <= text.size()) {
      uint32_t word;
      std::memcpy(&word, p + i, 4);
      if ((word & 0x80808080u) == 0) {
        // Bytes from 0x41 ("A") to 0x5A ("Z") get 0x20.
        const uint32_t upper = (word + 0x3F3F3F3Fu) & ~(word + 0x25252525u) & 0x80808080u;
        hash = mix(hash, word | upper >> 2);
        i += 4;
        continue;
      }
    }
    if (lead_->CharLength(text, i) == 2) {
      // A second byte is never folded.
      hash = mix(hash, static_cast<unsigned char>(p[i]) << 8 | static_cast<unsigned char>(p[i + 1]));
      i += 2;
    } else {
      hash = mix(hash, static_cast<unsigned char>(FoldLetter(p[i])));
      ++i;
    }
  }
  return hash;
}

bool CaseBlindEqual::operator()(std::string_view a, std::string_view b) const noexcept {
  if (a.size() != b.size()) return false;
  if (a == b) return true;  // names mostly come spelt alike
  // Folding never makes or unmakes a lead byte, nor a byte that can follow
  // one, so equal folded texts split into characters at the same places.
  for (size_t i = 0; i < a.size();) {
    const size_t length = lead_->CharLength(a, i);
    if (length != lead_->CharLength(b, i)) return false;
    if (length == 2 ? a.substr(i, 2) != b.substr(i, 2) : FoldLetter(a[i]) != FoldLetter(b[i])) return false;
    i += length;
  }
  return true;
}

std::string IncludeTrailingBackslash(std::string_view folder, const LeadBytes& lead) {
  std::string out(folder);
  if (!out.empty() && !EndsWithSeparator(out, lead)) out += '\\';
  return out;
}

std::string ExcludeTrailingSeparators(std::string_view path, const LeadBytes& lead) {
  // The characters before the trailing run of separators end where the last
  // non-separator character ends.
  size_t keep = 0;
  for (size_t i = 0; i < path.size();) {
    const size_t length = lead.CharLength(path, i);
    if (length == 2 || (path[i] != '\\' && path[i] != '/')) keep = i + length;
    i += length;
  }
  return std::string(path.substr(0, keep));
}

}  // namespace n2
