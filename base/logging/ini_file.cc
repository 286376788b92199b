#include "base/logging/ini_file.h"

#include <fstream>
#include <iterator>

namespace tobric {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace

bool IniFile::Load(const std::string& path) {
  entries_.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Parse(text);
  return true;
}

void IniFile::Parse(std::string_view text) {
  entries_.clear();
  // A UTF-8 byte-order mark is what editors put in front of the first section.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

  std::vector<std::string> seen_sections;
  std::string section;
  bool in_first_of_name = false;  // keys before any section header are never found
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      section = std::string(Trim(line.substr(1, close == std::string_view::npos
                                                    ? std::string_view::npos
                                                    : close - 1)));
      // A repeated section adds nothing: lookups stop at the first of the name.
      in_first_of_name = true;
      for (const std::string& name : seen_sections) {
        if (EqualsNoCase(name, section)) in_first_of_name = false;
      }
      if (in_first_of_name) seen_sections.push_back(section);
      continue;
    }
    if (!in_first_of_name) continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, equals));
    if (key.empty() || Find(section, key) != nullptr) continue;
    entries_.push_back(Entry{section, std::string(key), std::string(Trim(line.substr(equals + 1)))});
  }
}

const IniFile::Entry* IniFile::Find(std::string_view section, std::string_view key) const {
  for (const Entry& entry : entries_) {
    if (EqualsNoCase(entry.section, section) && EqualsNoCase(entry.key, key)) return &entry;
  }
  return nullptr;
}

int32_t IniFile::GetInt(std::string_view section, std::string_view key,
                        int32_t default_value) const {
  const Entry* entry = Find(section, key);
  return entry == nullptr ? default_value : ParseInt(entry->value);
}

std::string IniFile::GetString(std::string_view section, std::string_view key,
                               std::string_view default_value) const {
  const Entry* entry = Find(section, key);
  return entry == nullptr ? std::string(default_value) : entry->value;
}

int32_t IniFile::ParseInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (IsBlank(text[i]) || text[i] == '\n')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // 32-bit wrapping, as the profile functions accumulate: "4000000000" read into
  // an unsigned setting (MaxLogFileSize) keeps its value.
  uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10u + static_cast<uint32_t>(text[i] - '0');
  }
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

}  // namespace tobric
