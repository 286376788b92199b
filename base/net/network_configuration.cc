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

}  // namespace

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
      text += "wpad=" + std::to_string(wpad ? 1 : 0) + ", script=" + script_url;
      break;
    case kNamed:
      text += "named proxy=" + proxy + ", bypass=" + bypass;
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
