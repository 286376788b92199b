#include "torrix/tavp_link.h"

#include <cstddef>
#include <limits>
#include <utility>

#include "base/percent_decode.h"

namespace torrix {

namespace {

constexpr std::string_view kScheme = "tavp://";
// NAME_MAX is 255 bytes; ".kvre.new", the longest name made beside the
// final one, takes 9 of them.
constexpr size_t kMaxNameBytes = 240;

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The value of `key` (lower case, with "=") in a header of ";"-separated
// parameters, unquoted; empty when absent.
std::string ParameterValue(std::string_view header, std::string_view key) {
  size_t start = 0;
  while (start < header.size()) {
    size_t end = header.find(';', start);
    if (end == std::string_view::npos) end = header.size();
    const std::string_view part = TrimBlanks(header.substr(start, end - start));
    if (StartsWithNoCase(part, key)) {
      std::string_view value = TrimBlanks(part.substr(key.size()));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      return std::string(value);
    }
    start = end + 1;
  }
  return "";
}

}  // namespace

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (LowerAscii(text[i]) != prefix[i]) return false;
  }
  return true;
}

bool ParseTavpLink(std::string_view uri, TavpLink* link) {
  if (!StartsWithNoCase(uri, kScheme)) return false;
  const std::string_view body = uri.substr(kScheme.size());
  const size_t first = body.find('|');
  if (first == std::string_view::npos) return false;
  const size_t second = body.find('|', first + 1);
  if (second == std::string_view::npos) return false;

  uint64_t size = 0;
  for (const char c : body.substr(0, first)) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (size > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
    size = size * 10 + digit;
  }
  std::string source = tobric::PercentDecode(body.substr(first + 1, second - first - 1));
  if (source.empty()) return false;

  link->size = size;
  link->source = std::move(source);
  // Whatever follows the second separator is the name, "|" included.
  link->name = tobric::PercentDecode(body.substr(second + 1));
  link->body = std::string(body);
  return true;
}

bool IsHttpUrl(std::string_view url) {
  return StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://");
}

std::string SafeFileName(std::string_view name) {
  std::string out(TrimBlanks(name));
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\' || c == '|') c = '_';
  }
  if (out.size() > kMaxNameBytes) {
    size_t cut = kMaxNameBytes;
    // Back to the first byte of a UTF-8 character.
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
  }
  if (out == "." || out == "..") return "";
  return out;
}

std::string SuggestedFileName(std::string_view content_disposition, std::string_view url) {
  std::string extended = ParameterValue(content_disposition, "filename*=");
  if (StartsWithNoCase(extended, "utf-8''")) {
    std::string name = SafeFileName(tobric::PercentDecode(std::string_view(extended).substr(7)));
    if (!name.empty()) return name;
  }
  std::string plain = SafeFileName(ParameterValue(content_disposition, "filename="));
  if (!plain.empty()) return plain;

  std::string_view path = url;
  const size_t scheme = path.find("://");
  if (scheme != std::string_view::npos) path.remove_prefix(scheme + 3);
  const size_t query = path.find_first_of("?#");
  if (query != std::string_view::npos) path = path.substr(0, query);
  const size_t slash = path.find('/');
  if (slash == std::string_view::npos) return "";
  path.remove_prefix(slash);
  return SafeFileName(tobric::PercentDecode(path.substr(path.rfind('/') + 1)));
}

}  // namespace torrix
