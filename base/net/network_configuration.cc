#include "base/net/network_configuration.h"

#include <string_view>

#include "base/utf.h"

namespace tobric {

namespace {

constexpr uint32_t kFnvOffsetBasis = 0x811C9DC5;
constexpr uint32_t kFnvPrime = 0x01000193;
constexpr uint32_t kKeySalt = 0xDEADBEEF;

// FNV-1 (multiply, then XOR) over UTF-16 code units, so that a key computed
// here equals the one a UTF-16 build computes for the same settings.
uint32_t Fnv1Utf16(std::string_view text) {
  uint32_t hash = kFnvOffsetBasis;
  for (char16_t unit : Utf8ToUtf16(text)) {
    hash *= kFnvPrime;
    hash ^= static_cast<uint32_t>(unit);
  }
  return hash;
}

bool IsEntrySeparator(char c) {
  return c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsSchemeName(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !digit && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

// One entry of a proxy list: "[scheme=][scheme://][user[:password]@]host[:port]".
void AppendWithoutPassword(std::string_view entry, std::string* out) {
  size_t start = 0;
  const size_t equals = entry.find('=');
  if (equals != std::string_view::npos && IsSchemeName(entry.substr(0, equals))) {
    start = equals + 1;
  }
  const size_t scheme_end = entry.find("://", start);
  if (scheme_end != std::string_view::npos &&
      IsSchemeName(entry.substr(start, scheme_end - start))) {
    start = scheme_end + 3;
  }
  // The last "@" ends the user part: a password may hold an unescaped "@"
  // and is hidden whole then.
  const size_t at = entry.rfind('@');
  const size_t colon = at == std::string_view::npos ? at : entry.find(':', start);
  if (at == std::string_view::npos || at < start || colon >= at) {
    out->append(entry);
    return;
  }
  out->append(entry.substr(0, colon + 1)).append("***").append(entry.substr(at));
}

}  // namespace

std::string HidePasswords(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = pos;
    while (end < text.size() && !IsEntrySeparator(text[end])) ++end;
    AppendWithoutPassword(text.substr(pos, end - pos), &out);
    while (end < text.size() && IsEntrySeparator(text[end])) out += text[end++];
    pos = end;
  }
  return out;
}

NetworkConfiguration::Kind NetworkConfiguration::kind() const {
  if (wpad || !script_url.empty()) return kAutomatic;
  if (!proxy.empty()) return kNamed;
  return kDirect;
}

std::string NetworkConfiguration::Description() const {
  std::string text = "priority=" + std::to_string(priority) + ", source=" + source + ", ";
  switch (kind()) {
    case kDirect:
      text += "direct connection";
      break;
    case kAutomatic:
      text += "wpad=" + std::to_string(wpad ? 1 : 0) + ", script=" + HidePasswords(script_url);
      break;
    case kNamed:
      text += "named proxy=" + HidePasswords(proxy) + ", bypass=" + bypass;
      break;
  }
  return text;
}

uint32_t NetworkConfiguration::Key() const {
  return Fnv1Utf16(script_url) ^ Fnv1Utf16(proxy) ^ Fnv1Utf16(bypass) ^
         static_cast<uint32_t>(wpad ? 1 : 0) ^ kKeySalt;
}

NetworkConfiguration DirectConfiguration() {
  NetworkConfiguration configuration;
  configuration.source = "direct";
  return configuration;
}

}  // namespace tobric
