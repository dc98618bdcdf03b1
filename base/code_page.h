// Texts in an 8-bit code page that may hold double-byte characters, such as
// code page 932 (Shift_JIS). There the second byte of a character can be the
// byte of "\", "|" or an ASCII letter (ソ is 83 5C, ポ is 83 7C, ア is 83 41), so
// every search for a separator, every case fold and every "one character"
// must step over whole characters. Which bytes lead a double-byte character is
// the code page's business: the caller hands it in, so this code needs no
// operating system and builds everywhere.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace n2 {

class LeadBytes {
 public:
  // A single-byte code page: no byte leads a character of two.
  LeadBytes() = default;
  // The lead bytes of Shift_JIS (code page 932): 81-9F and E0-FC.
  static const LeadBytes& Cp932();
  template <class Predicate>
  static LeadBytes From(Predicate is_lead) {
    LeadBytes bytes;
    for (int b = 0; b < 256; ++b) bytes.lead_[b] = is_lead(static_cast<unsigned char>(b));
    return bytes;
  }

  bool IsLead(char c) const noexcept { return lead_[static_cast<unsigned char>(c)]; }
  // Whether c can be the second byte of a double-byte character: in no
  // double-byte code page of Windows is a byte below 0x40, or 0x7F, one.
  static bool CanFollowLead(char c) noexcept {
    const unsigned char b = static_cast<unsigned char>(c);
    return b >= 0x40 && b != 0x7F;
  }
  // Bytes of the character that starts at text[i]: 2 for a lead byte
  // followed by a byte that can be a second byte, else 1. A lead byte at the
  // very end, or before a byte such as ":", "/" or a control byte, stands
  // alone, and the byte after it is a character of its own.
  size_t CharLength(std::string_view text, size_t i) const noexcept {
    return IsLead(text[i]) && i + 1 < text.size() && CanFollowLead(text[i + 1]) ? 2 : 1;
  }

 private:
  std::array<bool, 256> lead_{};
};

// Position of the first single-byte character c at or after from, or npos.
size_t FindChar(std::string_view text, char c, const LeadBytes& lead, size_t from = 0);
// Position of the first occurrence of needle (a run of single-byte characters
// such as ":/" or "//") that starts at a character boundary, or npos.
size_t FindText(std::string_view text, std::string_view needle, const LeadBytes& lead);
// Position of the last single-byte character that is one of chars, or npos.
size_t FindLastOf(std::string_view text, std::string_view chars, const LeadBytes& lead);
// Whether the last character of text is the single-byte character c.
bool EndsWithChar(std::string_view text, char c, const LeadBytes& lead);
// text with every single-byte character from replaced by to.
std::string ReplaceChar(std::string_view text, char from, char to, const LeadBytes& lead);
// The same in place.
void ReplaceCharInPlace(std::string& text, char from, char to, const LeadBytes& lead);
// text with its single-byte letters A-Z folded to a-z; bytes of double-byte
// characters are never touched.
std::string FoldCase(std::string_view text, const LeadBytes& lead);
// The byte of one single-byte character folded as FoldCase folds it.
inline char FoldLetter(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Hashing and comparing texts as FoldCase folds them, without making folded
// copies: maps keyed by names that are equal without regard to case look a
// name up as it is.
class CaseBlindHash {
 public:
  using is_transparent = void;
  explicit CaseBlindHash(const LeadBytes& lead) : lead_(&lead) {}
  size_t operator()(std::string_view text) const noexcept;

 private:
  const LeadBytes* lead_;
};
class CaseBlindEqual {
 public:
  using is_transparent = void;
  explicit CaseBlindEqual(const LeadBytes& lead) : lead_(&lead) {}
  bool operator()(std::string_view a, std::string_view b) const noexcept;

 private:
  const LeadBytes* lead_;
};

// Whether text begins with prefix, compared as CaseBlindEqual compares.
inline bool StartsCaseBlind(std::string_view text, std::string_view prefix, const LeadBytes& lead) {
  return text.size() >= prefix.size() && CaseBlindEqual(lead)(text.substr(0, prefix.size()), prefix);
}

}  // namespace n2

// libstdc++ keeps each key's hash code in its node only for hashes it takes
// to be slow, and otherwise computes the codes again while it walks a bucket
// and whenever it rehashes. Folding names character by character is slow
// enough that keeping the codes pays.
template <>
struct std::__is_fast_hash<n2::CaseBlindHash> : std::false_type {};

namespace n2 {

// Maps keyed by such names, and sets of them; lead must outlive them.
template <class Value>
using CaseBlindMap = std::unordered_map<std::string, Value, CaseBlindHash, CaseBlindEqual>;
template <class Value>
CaseBlindMap<Value> MakeCaseBlindMap(const LeadBytes& lead) {
  return CaseBlindMap<Value>(0, CaseBlindHash(lead), CaseBlindEqual(lead));
}
// Sets the value of name; a key that differs from it in case only takes
// name's spelling.
template <class Value>
void SetCaseBlind(CaseBlindMap<Value>& map, std::string name, const Value& value) {
  // One lookup for a new name or one spelt alike (try_emplace leaves name
  // as it is when the map holds it already).
  auto [it, added] = map.try_emplace(std::move(name), value);
  if (added) return;
  if (it->first == name) {
    it->second = value;
    return;
  }
  map.erase(it);
  map.emplace(std::move(name), value);
}
// The value of name, or nullptr.
template <class Value>
const Value* FindCaseBlind(const CaseBlindMap<Value>& map, std::string_view name) {
  auto it = map.find(name);
  return it == map.end() ? nullptr : &it->second;
}
using CaseBlindSet = std::unordered_set<std::string, CaseBlindHash, CaseBlindEqual>;
inline CaseBlindSet MakeCaseBlindSet(const LeadBytes& lead) {
  return CaseBlindSet(0, CaseBlindHash(lead), CaseBlindEqual(lead));
}

// Folder texts: "\" and "/" separate folders.
inline bool EndsWithSeparator(std::string_view path, const LeadBytes& lead) {
  return EndsWithChar(path, '\\', lead) || EndsWithChar(path, '/', lead);
}
// folder with a "\" added unless it is empty or already ends with a separator.
std::string IncludeTrailingBackslash(std::string_view folder, const LeadBytes& lead);
// path without its trailing separators.
std::string ExcludeTrailingSeparators(std::string_view path, const LeadBytes& lead);

}  // namespace n2
