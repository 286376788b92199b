#include "console/options.h"

#include <cctype>
#include <string_view>

#include "base/platform/process.h"

namespace lorvane {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string Trim(std::string_view word) {
  size_t begin = 0;
  size_t end = word.size();
  while (begin < end && IsBlank(word[begin])) ++begin;
  while (end > begin && IsBlank(word[end - 1])) --end;
  return std::string(word.substr(begin, end - begin));
}

std::string Lower(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

bool IsSwitch(std::string_view word) {
  return word.size() >= 2 && (word[0] == '/' || word[0] == '-') &&
         word.find(' ') == std::string_view::npos && word.find("%20") == std::string_view::npos;
}

std::string SwitchName(std::string_view word) { return Lower(Trim(word.substr(1))); }

}  // namespace

HRESULT Options::Parse(const std::vector<std::string>& argv) {
  // Where value words go: a regular switch, or (between "[/name" and the
  // closing "]") an optional one. Null while no switch has been read.
  std::string* current = nullptr;
  bool in_optional_group = false;

  for (size_t i = 1; i < argv.size(); ++i) {
    std::string word = Trim(argv[i]);

    if (word.size() >= 2 && word[0] == '[' && IsSwitch(std::string_view(word).substr(1))) {
      std::string_view rest = std::string_view(word).substr(1);
      bool closes = rest.back() == ']';
      if (closes) rest.remove_suffix(1);
      std::string name = SwitchName(rest);
      auto [it, inserted] = optional_options_.emplace(name, std::string());
      if (!inserted) return E_INVALIDARG;
      current = closes ? nullptr : &it->second;
      in_optional_group = !closes;
      continue;
    }

    if (IsSwitch(word) && !in_optional_group) {
      auto [it, inserted] = options_.emplace(SwitchName(word), std::string());
      if (!inserted) return E_INVALIDARG;
      current = &it->second;
      continue;
    }

    if (in_optional_group) {
      bool closes = !word.empty() && word.back() == ']';
      if (closes) word.pop_back();
      if (!word.empty()) {
        if (!current->empty()) current->push_back(' ');
        current->append(word);
      }
      if (closes) {
        in_optional_group = false;
        current = nullptr;
      }
      continue;
    }

    if (current == nullptr) return E_INVALIDARG;
    *current = word;
  }
  return S_OK;
}

bool Options::Has(const std::string& name) const { return options_.count(Lower(name)) != 0; }

std::string Options::Value(const std::string& name) const {
  auto it = options_.find(Lower(name));
  return it == options_.end() ? std::string() : it->second;
}

std::vector<std::string> Options::Names() const {
  std::vector<std::string> names;
  for (const auto& [name, value] : options_) names.push_back(name);
  return names;
}

bool Options::HasOptional(const std::string& name) const {
  return optional_options_.count(Lower(name)) != 0;
}

std::string Options::OptionalValue(const std::string& name) const {
  auto it = optional_options_.find(Lower(name));
  return it == optional_options_.end() ? std::string() : it->second;
}

std::vector<std::string> SplitCommandLine(const std::string& command_line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  bool quoted = false;
  size_t i = 0;
  const size_t n = command_line.size();
  while (i < n) {
    char c = command_line[i];
    if (!quoted && (c == ' ' || c == '\t')) {
      if (in_word) {
        words.push_back(word);
        word.clear();
        in_word = false;
      }
      ++i;
      continue;
    }
    in_word = true;
    if (c == '\\') {
      size_t run = 0;
      while (i < n && command_line[i] == '\\') {
        ++run;
        ++i;
      }
      if (i < n && command_line[i] == '"') {
        word.append(run / 2, '\\');
        if (run % 2 == 1) {
          word.push_back('"');
          ++i;
        }
      } else {
        word.append(run, '\\');
      }
      continue;
    }
    if (c == '"') {
      // Inside quotes a doubled quote stands for one literal quote.
      if (quoted && i + 1 < n && command_line[i + 1] == '"') {
        word.push_back('"');
        i += 2;
        continue;
      }
      quoted = !quoted;
      ++i;
      continue;
    }
    word.push_back(c);
    ++i;
  }
  if (in_word) words.push_back(word);
  return words;
}

HRESULT ReadProcessOptions(int argc, char** argv, Options* options) {
  std::vector<std::string> words;
  for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i) {
    words.emplace_back(argv[i]);
  }
  if (words.empty()) words.push_back(tobric::platform::ProgramPath());
  return options->Parse(words);
}

}  // namespace lorvane
