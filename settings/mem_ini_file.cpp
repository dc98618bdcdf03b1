#include "settings/mem_ini_file.h"

#include "settings/file_name.h"

namespace n2 {
namespace {

char LowerAscii(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Splits text into lines at CR LF, LF or CR; a zero byte ends the text.
std::vector<std::string_view> SplitLines(std::string_view text) {
  size_t end = text.find('\0');
  if (end != std::string_view::npos) text = text.substr(0, end);
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t stop = text.find_first_of("\r\n", start);
    if (stop == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, stop - start));
    start = stop + 1;
    if (text[stop] == '\r' && start < text.size() && text[start] == '\n') ++start;
  }
  return lines;
}

}  // namespace

void TMemIniFile::SetText(std::string_view text) {
  sections_.clear();
  for (std::string_view raw : SplitLines(text)) {
    std::string_view line = TrimControls(raw);
    if (line.empty() || line.front() == ';') continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      sections_.push_back(Section{std::string(TrimControls(line.substr(1, line.size() - 2))), {}});
      continue;
    }
    if (sections_.empty()) continue;
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      sections_.back().lines.emplace_back(line);
    } else {
      std::string entry(TrimControls(line.substr(0, equals)));
      entry += '=';
      entry += TrimControls(line.substr(equals + 1));
      sections_.back().lines.push_back(std::move(entry));
    }
  }
}

std::string TMemIniFile::Text() const {
  std::string text;
  for (const Section& section : sections_) {
    text += '[';
    text += section.name;
    text += "]\r\n";
    for (const std::string& line : section.lines) {
      text += line;
      text += "\r\n";
    }
    text += "\r\n";
  }
  return text;
}

bool TMemIniFile::SameName(std::string_view a, std::string_view b) const noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (case_sensitive_ ? a[i] != b[i] : LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

const TMemIniFile::Section* TMemIniFile::FindSection(std::string_view name) const noexcept {
  for (const Section& section : sections_) {
    if (SameName(section.name, name)) return &section;
  }
  return nullptr;
}

int TMemIniFile::FindKey(const Section& section, std::string_view key) const noexcept {
  for (size_t i = 0; i < section.lines.size(); ++i) {
    std::string_view line = section.lines[i];
    size_t equals = line.find('=');
    if (equals != std::string_view::npos && SameName(line.substr(0, equals), key)) return static_cast<int>(i);
  }
  return -1;
}

std::string TMemIniFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view fallback) const {
  const Section* found = FindSection(section);
  if (!found) return std::string(fallback);
  int index = FindKey(*found, key);
  if (index < 0) return std::string(fallback);
  const std::string& line = found->lines[static_cast<size_t>(index)];
  return line.substr(line.find('=') + 1);
}

void TMemIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  auto* found = const_cast<Section*>(FindSection(section));
  if (!found) {
    sections_.push_back(Section{std::string(section), {}});
    found = &sections_.back();
  }
  std::string entry(key);
  entry += '=';
  entry += value;
  int index = FindKey(*found, key);
  if (index < 0)
    found->lines.push_back(std::move(entry));
  else
    found->lines[static_cast<size_t>(index)] = std::move(entry);
}

}  // namespace n2
