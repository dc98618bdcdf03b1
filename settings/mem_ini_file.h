// An INI file held in memory: sections in the order they were first loaded or
// created, each a list of "key=value" lines in the order they were first loaded
// or added. Loading and saving go through text; where the text comes from and
// goes to is the owner's business.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace n2 {

class TMemIniFile {
 public:
  // Replaces the content with the parsed text. CR LF, a lone LF and a lone CR
  // all end a line, and a zero byte ends the text. Every line is trimmed of
  // characters with codes 0 to 32; empty lines, lines beginning with ";" and
  // lines before the first section are dropped.
  void SetText(std::string_view text);
  // The whole content: "[section]" lines, their entries and one empty line
  // after each section, every line ended by CR LF.
  std::string Text() const;
  void Clear() noexcept { sections_.clear(); }

  bool CaseSensitive() const noexcept { return case_sensitive_; }
  void SetCaseSensitive(bool value) noexcept { case_sensitive_ = value; }

  // The value of the first line with the key in the first section with the
  // name, or fallback when either is absent.
  std::string ReadString(std::string_view section, std::string_view key, std::string_view fallback) const;
  // Replaces the key's line in place, or appends it to the section, which is
  // appended to the file when it is absent.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);

 private:
  struct Section {
    std::string name;
    std::vector<std::string> lines;
  };

  bool SameName(std::string_view a, std::string_view b) const noexcept;
  const Section* FindSection(std::string_view name) const noexcept;
  // Index of the first line whose text before its first "=" is key, or -1.
  int FindKey(const Section& section, std::string_view key) const noexcept;

  std::vector<Section> sections_;
  bool case_sensitive_ = false;
};

}  // namespace n2
